// The viewer's file server: request lines, byte ranges and paths, then one real exchange with
// curl (a range, a file outside the folder, a method it does not serve).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "file_server.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla::recsrv {
namespace {

TEST(FileServerTest, RequestLines) {
  struct Case {
    const char* name;
    const char* head;
    bool ok;
    const char* method;
    const char* path;
    const char* range;
  };
  const Case cases[] = {
      {"plain", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, "GET", "/", ""},
      {"query and escapes", "HEAD /S1/a%20b.webm?t=3 HTTP/1.1\r\n\r\n", true, "HEAD", "/S1/a b.webm", ""},
      {"range header, any case", "GET /a HTTP/1.1\r\nrAnGe:  bytes=5-\r\n\r\n", true, "GET", "/a", "bytes=5-"},
      {"absolute form", "GET http://h/a HTTP/1.1\r\n\r\n", false, "", "", ""},
      {"bad escape", "GET /a%2 HTTP/1.1\r\n\r\n", false, "", "", ""},
      {"escaped NUL", "GET /a%00b HTTP/1.1\r\n\r\n", false, "", "", ""},
      {"no version", "GET /\r\n\r\n", false, "", "", ""},
      {"HTTP/2 line", "GET / HTTP/2\r\n\r\n", false, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = ParseHttpRequest(c.head);
    ASSERT_EQ(r.has_value(), c.ok);
    if (!r) continue;
    EXPECT_EQ(r->method, c.method);
    EXPECT_EQ(r->path, c.path);
    EXPECT_EQ(r->range, c.range);
  }
}

TEST(FileServerTest, ByteRanges) {
  struct Case {
    const char* header;
    uint64_t size;
    bool satisfiable;
    bool partial;
    uint64_t first, last;
  };
  const Case cases[] = {
      {"", 100, true, false, 0, 99},
      {"bytes=0-", 100, true, true, 0, 99},
      {"bytes=10-19", 100, true, true, 10, 19},
      {"bytes=90-200", 100, true, true, 90, 99},
      {"bytes=-30", 100, true, true, 70, 99},
      {"bytes=-300", 100, true, true, 0, 99},
      {"bytes=100-", 100, false, false, 0, 0},
      {"bytes=-0", 100, false, false, 0, 0},
      {"bytes=5-1", 100, true, false, 0, 99},      // invalid: ignored
      {"bytes=1-2,5-6", 100, true, false, 0, 99},  // several ranges: the whole file
      {"items=1-2", 100, true, false, 0, 99},
      {"bytes=0-", 0, false, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.header) + " of " + std::to_string(c.size));
    bool partial = true;
    const auto r = ParseByteRange(c.header, c.size, partial);
    ASSERT_EQ(r.has_value(), c.satisfiable);
    EXPECT_EQ(partial, c.partial);
    if (!r) continue;
    EXPECT_EQ(r->first, c.first);
    EXPECT_EQ(r->last, c.last);
  }
}

std::string Curl(const std::string& args) {
  return test::CommandOutput("curl -s -m 5 " + args + " 2>/dev/null");
}

TEST(FileServerTest, ServesTheFolderOnlyWithRanges) {
  test::ScopedTempDir dir;
  const std::string root = dir.Sub("out");
  std::filesystem::create_directories(root + "/S1");
  std::ofstream(root + "/index.html") << "<p>page</p>";
  std::ofstream(root + "/S1/G1.webm") << "0123456789";
  std::ofstream(dir.Sub("secret.txt")) << "secret";
  std::filesystem::create_symlink(dir.Sub("secret.txt"), root + "/link.txt");
  EXPECT_EQ(ResolveFilePath(root, "/../secret.txt"), "");
  EXPECT_EQ(ResolveFilePath(root, "/link.txt"), "") << "a link out of the folder";
  EXPECT_EQ(ResolveFilePath(root, "/S1"), "") << "no folder listings";
  EXPECT_NE(ResolveFilePath(root, "/S1/G1.webm"), "");

  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no curl";
  FileServer server(root);
  std::string error;
  ASSERT_TRUE(server.Start(0, error)) << error;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(Curl(base + "/"), "<p>page</p>");
  EXPECT_EQ(Curl("-w ' %{http_code} %{content_type}' -r 2-4 " + base + "/S1/G1.webm"),
            "234 206 video/webm");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -r 20- " + base + "/S1/G1.webm"), "416");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' --path-as-is " + base + "/../secret.txt"), "404");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' " + base + "/link.txt"), "404");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -X POST " + base + "/index.html"), "405");
  server.Stop();
}

}  // namespace
}  // namespace vorla::recsrv
