// The file seen from outside its writer: a reader in single-writer/multiple-
// reader mode sees each flush while the writer goes on, also for a channel
// that first appears after the reader opened the file; a writer killed after
// a flush leaves a file that opens with every record up to that flush. The
// writers are forked children, as a writer and its readers are separate
// processes; pipes order the steps, so nothing waits on time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daq_fetch.h"
#include "daq_hdf5_sink.h"
#include "h5_read.h"
#include "velmor.h"

namespace {

// Records of scalar channels, event numbers from `first`.
void write_records(DaqHdf5Sink& sink, const std::vector<std::string>& channels, uint64_t first,
                   int count) {
  for (int i = 0; i < count; ++i) {
    DaqFetchRecord r;
    r.event = first + i;
    r.seconds = 1735689600u + static_cast<uint32_t>(r.event);
    r.values = new std::vector<EqData_dtype*>;
    for (const std::string& c : channels) {
      auto* d = new velmor::EqData;
      d->set_double(static_cast<double>(r.event));
      r.names.push_back(c);
      r.values->push_back(new EqData_dtype{nullptr, d, 1, 1});
    }
    if (sink.write(r)) {
      fprintf(stderr, "writer: %s\n", sink.error().c_str());
      _exit(3);
    }
    daq_fetch_release_values(r.values);
  }
}

// A forked writer, stepped by the test: step() lets it run its next part and
// waits until that part is done.
class Writer {
 public:
  template <typename Body>
  explicit Writer(Body body) {
    if (pipe(go_) != 0 || pipe(done_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(go_[1]);
      close(done_[0]);
      body(*this);
      _exit(0);
    }
    close(go_[0]);
    close(done_[1]);
  }
  ~Writer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(go_[1]);
    close(done_[0]);
  }
  bool started() const { return pid_ > 0; }
  // Parent side: one part run; false when the child is gone.
  bool step() {
    char c = 1;
    return write(go_[1], &c, 1) == 1 && read(done_[0], &c, 1) == 1;
  }
  // Child side: the part that step() asked for is done; wait for the next.
  void part_done() {
    char c = 1;
    if (write(done_[1], &c, 1) != 1 || read(go_[0], &c, 1) != 1) _exit(0);
  }
  void wait_first() {
    char c;
    if (read(go_[0], &c, 1) != 1) _exit(0);
  }
  void kill_now() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  int go_[2] = {-1, -1}, done_[2] = {-1, -1};
  pid_t pid_ = -1;
};

std::string temp_path(const char* tag) {
  return testing::TempDir() + "hdf5_" + tag + "_" + std::to_string(getpid()) + ".h5";
}

TEST(Hdf5SinkFollow, ReaderSeesEachFlushAndChannelsAddedLater) {
  std::string path = temp_path("follow");
  Writer w([&](Writer& self) {
    DaqHdf5Sink sink;
    self.wait_first();
    if (sink.open(path, DaqHdf5Options{})) _exit(2);
    write_records(sink, {"A"}, 0, 5);
    if (sink.flush()) _exit(2);
    self.part_done();
    write_records(sink, {"A", "B"}, 5, 3);  // B appears while readers follow
    if (sink.flush()) _exit(2);
    self.part_done();
    if (sink.close(nullptr, 0)) _exit(2);
    self.part_done();
  });
  ASSERT_TRUE(w.started());
  ASSERT_TRUE(w.step());
  {
    H5Reader r(path, true);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.u64("/A/event_number"), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
    ASSERT_TRUE(w.step());
    EXPECT_EQ(r.f64("/A/value"), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7}));
  }
  {
    H5Reader r(path, true);  // a group made after a reader opened needs a new open
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.f64("/B/value"), (std::vector<double>{5, 6, 7}));
  }
  ASSERT_TRUE(w.step());
  H5Reader done(path);  // closed cleanly: opens without the mode
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(done.attr_int("/", "complete"), 1);
  EXPECT_EQ(done.attr_int("/", "records_written"), 8);
  unlink(path.c_str());
}

TEST(Hdf5SinkFollow, KilledWriterLeavesEveryRecordUpToItsLastFlush) {
  std::string path = temp_path("killed");
  Writer w([&](Writer& self) {
    DaqHdf5Sink sink;
    self.wait_first();
    DaqHdf5Options o;
    o.flush_records = 1000;
    o.flush_ms = 1000000;
    if (sink.open(path, o)) _exit(2);
    write_records(sink, {"A"}, 0, 20);
    if (sink.flush()) _exit(2);
    // Unflushed: more rows, and a new channel (its group is in the file).
    write_records(sink, {"A", "C"}, 20, 10);
    self.part_done();
    for (;;) pause();
  });
  ASSERT_TRUE(w.started());
  ASSERT_TRUE(w.step());
  w.kill_now();
  H5Reader r(path, true);
  ASSERT_TRUE(r.ok());
  std::vector<uint64_t> want(20);
  for (uint64_t i = 0; i < 20; ++i) want[i] = i;
  EXPECT_EQ(r.u64("/A/event_number"), want);
  EXPECT_EQ(r.f64("/A/value").size(), 20u);
  EXPECT_TRUE(r.u64("/C/event_number").empty());
  EXPECT_EQ(r.attr_int("/", "complete"), 0);
  unlink(path.c_str());
}

}  // namespace
