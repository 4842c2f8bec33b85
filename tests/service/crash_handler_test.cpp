#include "service/crash_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include "common/logging.h"
#include "service/thread.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

enum class Fault { kAccessFault, kThrow, kAbort };

class Crasher : public Thread {
 public:
  Crasher(std::u16string name, Fault fault) : Thread(std::move(name), 0), fault_(fault) {}
  uint32_t Run() override {
    switch (fault_) {
      case Fault::kAccessFault: {
        // A real memory fault that no sanitizer intercepts first: a page without access.
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
        break;
      }
      case Fault::kThrow: throw std::runtime_error("escaped Run");
      case Fault::kAbort: abort();
    }
    return 0;
  }

 private:
  Fault fault_;
};

// In a child: the handler installed as the program does it, then a worker thread crashes.
void CrashWorker(std::u16string name, Fault fault) {
  InstallThreadExceptionFilter();
  WindowsEventLogger::Instance().SetSourceName(u"VorlaWS");
  Crasher c(std::move(name), fault);
  c.Start();
  for (;;) pause();
}

std::vector<std::string> Texts(const std::string& log) {
  std::vector<std::string> out;
  for (const auto& line : test::ReadLines(log)) {
    // time, source, type, id, text
    size_t p = 0;
    for (int i = 0; i < 4; ++i) p = line.find('\t', p) + 1;
    out.push_back(line.substr(p));
    EXPECT_NE(line.find("\tERROR\t0xC0000E00\t"), std::string::npos) << line;
  }
  return out;
}

std::vector<std::string> Dumps(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".dmp") out.push_back(e.path().string());
  return out;
}

TEST(CrashHandler, FaultOnAWorkerThreadLeavesRecordsAndADumpAndExits230) {
  struct Row {
    const char* name;
    Fault fault;
    const char* dump_says;
  } rows[] = {{"memory fault", Fault::kAccessFault, "Signal: 11 (SIGSEGV)"},
              {"escaping exception", Fault::kThrow, "Uncaught exception: escaped Run"},
              {"abort", Fault::kAbort, "Signal: 6 (SIGABRT)"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::ScopedTempDir logs, temp;
    test::ScopedEnv e1("VORLA_LOG_DIR", logs.path()), e2("VORLA_TEMP_DIR", temp.path());
    EXPECT_EQ(test::RunInChild([&] { CrashWorker(u"CaptureThread", row.fault); }), 230);

    for (const char* log : {"VorlaOperations.log", "VorlaRuntime.log"}) {
      SCOPED_TRACE(log);
      const auto texts = Texts(logs.Sub(log));
      ASSERT_EQ(texts.size(), 2u);
      EXPECT_TRUE(std::regex_match(
          texts[0], std::regex("Runtime Exception\\. The Thread \\[CaptureThread, id=[0-9]+\\] "
                               "caused an Exception and will terminate")))
          << texts[0];
      const std::regex made("Runtime Exception\\. Minidump \\(([0-9]+) bytes\\) made to (.*)\\.");
      std::smatch m;
      ASSERT_TRUE(std::regex_match(texts[1], m, made)) << texts[1];
      const auto dumps = Dumps(temp.path());
      ASSERT_EQ(dumps.size(), 1u);
      EXPECT_EQ(m[2].str(), dumps[0]);
      EXPECT_EQ(std::stoul(m[1].str()), std::filesystem::file_size(dumps[0]));
      EXPECT_TRUE(std::regex_match(std::filesystem::path(dumps[0]).filename().string(),
                                   std::regex("vorla_service_tests[0-9]+\\.dmp")));
      const std::string dump = test::ReadFile(dumps[0]);
      EXPECT_NE(dump.find(row.dump_says), std::string::npos);
      EXPECT_NE(dump.find("Thread: CaptureThread"), std::string::npos);
      EXPECT_NE(dump.find("Memory map:"), std::string::npos);
    }
  }
}

TEST(CrashHandler, WithoutATempFolderTheRecordsStillAppearWithZeroBytes) {
  test::ScopedTempDir logs;
  test::ScopedEnv e1("VORLA_LOG_DIR", logs.path()),
      e2("VORLA_TEMP_DIR", logs.Sub("no/such/folder"));
  EXPECT_EQ(test::RunInChild([&] { CrashWorker(u"SocketRecieveThread", Fault::kAccessFault); }),
            230);
  const auto texts = Texts(logs.Sub("VorlaRuntime.log"));
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1].rfind(
                "Runtime Exception. Minidump (0 bytes) made to " + logs.Sub("no/such/folder/"), 0),
            0u)
      << texts[1];
}

TEST(CrashHandler, LongThreadNamesAreCutTo259Characters) {
  test::ScopedTempDir logs, temp;
  test::ScopedEnv e1("VORLA_LOG_DIR", logs.path()), e2("VORLA_TEMP_DIR", temp.path());
  const std::u16string name = std::u16string(259, u'n') + u"CUT";
  EXPECT_EQ(test::RunInChild([&] { CrashWorker(name, Fault::kThrow); }), 230);
  const auto texts = Texts(logs.Sub("VorlaOperations.log"));
  ASSERT_FALSE(texts.empty());
  EXPECT_NE(texts[0].find("[" + std::string(259, 'n') + ", id="), std::string::npos);
  EXPECT_EQ(texts[0].find("CUT"), std::string::npos);
}

}  // namespace
}  // namespace vorla
