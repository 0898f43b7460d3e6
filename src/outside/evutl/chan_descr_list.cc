// Ownership of description lists: every record of a description (the
// description itself and each bit, dimension and statistics record) is
// allocated with new, and released here.
#include "chan_descr_format.h"

void delete_chan_descr(chan_descr_2010* d) {
  if (d == nullptr) return;
  for (bit_descr* b : d->bits) delete b;
  for (dim_descr* dim : d->dims) {
    if (dim == nullptr) continue;
    for (stat_descr* s : dim->stats) delete s;
    delete dim;
  }
  delete d;
}

void clean_chan_desr_list(std::vector<chan_descr_2010*>* vc) {
  if (vc == nullptr) return;
  for (chan_descr_2010* d : *vc) delete_chan_descr(d);
  vc->clear();
}
