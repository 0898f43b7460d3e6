// The child's side of running a program under test: after fork and the
// redirections, puts env ("NAME=value" texts) into the environment and replaces
// the process with program; never returns (127 when exec fails).
#ifndef DAQ_TEST_CHILD_EXEC_H
#define DAQ_TEST_CHILD_EXEC_H

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

[[noreturn]] inline void exec_in_child(const char* program, const std::vector<std::string>& args,
                                       const std::vector<std::string>& env = {}) {
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program, argv.data());
  _exit(127);
}

#endif
