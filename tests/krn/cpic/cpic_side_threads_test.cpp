// The side-information reader from 8 threads at once: each reads its own
// destinations of one file into its own table and gets its entry's values
// and COMMON_PART's; the reader's process state is guarded by its lock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

TEST(SideInfoThreads, EachThreadReadsItsOwnEntries) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  CpicIResetProcess();
  tovtest::TempDir dir;
  std::string file = "DEST=COMMON_PART\nCPIC_TRACE=3\n";
  for (int t = 0; t < 8; ++t) file += "DEST=T" + std::to_string(t) + "_[0-99]\nGWHOST=host" + std::to_string(t) + "\n";
  std::string path = dir.File("sideinfo");
  tovtest::WriteFile(path, file);
  std::u16string name = FromUtf8(path);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        WEQ_UC host[33] = {};
        int32_t trace = -1;
        CPIC_SI_PARAM table[3] = {{u"GWHOST", 6, host, 32, CPIC_SI_STRING, 0, 0, 0},
                                  {u"CPIC_TRACE", 10, &trace, 0, CPIC_SI_INT, 0, 0, 0},
                                  {}};
        std::u16string dest = FromUtf8("T" + std::to_string(t) + "_" + std::to_string(i));
        GW_RETURN_CODE gw = -1;
        CM_RETURN_CODE rc = STIReadSideInfo(name.c_str(), dest.c_str(), table, i % 2, &gw, 0, nullptr);
        if (rc != CM_OK || ToUtf8(host) != "host" + std::to_string(t) || trace != 3) ++bad;
      }
      ErrFreeThrAdm(nullptr);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  CpicIResetProcess();
}

}  // namespace
