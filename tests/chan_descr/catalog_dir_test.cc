#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "orxa_chan_descr.h"

namespace {

class CatalogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* v = std::getenv("ORXA_DAQ_CATALOG_DIR");
    had_ = v != nullptr;
    if (had_) saved_ = v;
    unsetenv("ORXA_DAQ_CATALOG_DIR");
  }
  void TearDown() override {
    if (had_) {
      setenv("ORXA_DAQ_CATALOG_DIR", saved_.c_str(), 1);
    } else {
      unsetenv("ORXA_DAQ_CATALOG_DIR");
    }
  }
  bool had_ = false;
  std::string saved_;
};

}  // namespace

TEST_F(CatalogDirTest, DefaultAsTheRequestWriterAsksForIt) {
  char buf[1024];
  int size = sizeof buf;
  ASSERT_EQ(get_run_catalog_dir_name(nullptr, buf, &size, 0), 0);
  EXPECT_STREQ(buf, "/daq/orxa/adm/");
}

TEST_F(CatalogDirTest, EnvironmentOverridesUnlessEmpty) {
  char buf[64];
  int size = sizeof buf;
  setenv("ORXA_DAQ_CATALOG_DIR", "/site/catalog", 1);
  ASSERT_EQ(get_run_catalog_dir_name(nullptr, buf, &size, 0), 0);
  EXPECT_STREQ(buf, "/site/catalog");
  setenv("ORXA_DAQ_CATALOG_DIR", "", 1);
  ASSERT_EQ(get_run_catalog_dir_name(nullptr, buf, &size, 0), 0);
  EXPECT_STREQ(buf, "/daq/orxa/adm/");
}

TEST_F(CatalogDirTest, NameThatDoesNotFitOrUnusableArgumentsFail) {
  char buf[15];
  std::memset(buf, 'x', sizeof buf);
  int size = 14;  // "/daq/orxa/adm/" needs 15 with its NUL
  EXPECT_NE(get_run_catalog_dir_name(nullptr, buf, &size, 0), 0);
  EXPECT_EQ(buf[0], 'x');
  size = 15;
  EXPECT_EQ(get_run_catalog_dir_name(nullptr, buf, &size, 0), 0);
  EXPECT_NE(get_run_catalog_dir_name(nullptr, nullptr, &size, 0), 0);
  EXPECT_NE(get_run_catalog_dir_name(nullptr, buf, nullptr, 0), 0);
  size = -1;
  EXPECT_NE(get_run_catalog_dir_name(nullptr, buf, &size, 0), 0);
  setenv("ORXA_DAQ_CATALOG_DIR", std::string(2000, 'd').c_str(), 1);
  size = 1024;
  char big[1024];
  EXPECT_NE(get_run_catalog_dir_name(nullptr, big, &size, 0), 0);
}
