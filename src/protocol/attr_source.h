// One view of "the attributes of the element just read", over either parser
// class of the XML helper library, so that element handling is written once.
#ifndef DAQ_PROTOCOL_ATTR_SOURCE_H
#define DAQ_PROTOCOL_ATTR_SOURCE_H

class AttrSource {
 public:
  template <class Parser>
  explicit AttrSource(Parser& parser)
      : parser_(&parser), get_([](void* p, const char* name, char** value) {
          return static_cast<Parser*>(p)->get_attr(name, value);
        }) {}

  // The attribute's text, valid until the next call on the parser; null when absent.
  const char* find(const char* name) const {
    char* value = nullptr;
    if (get_(parser_, name, &value) != 0 || value == nullptr) return nullptr;
    return value;
  }

 private:
  void* parser_;
  int (*get_)(void*, const char*, char**);
};

#endif
