// Windows behaviour of the file, process and socket capabilities: one-step replacement under
// concurrent readers, named pipes, reparse points, the job that carries a time limit, command-line
// quoting, inherited handles, cut datagrams and shutdowns. Helper children are this program
// started again with kChildFlag.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "platform/fake/fake_clock.h"
#include "platform/file_system.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using platform::EntryKind;
using platform::FileReadResult;
using test::ReadFile;
using test::ScopedTempDir;

constexpr wchar_t kChildFlag[] = L"--vorla-win32-test-child";

std::u16string U(const std::string& s) { return FromUtf8(s); }
std::u16string U16(std::wstring_view s) { return std::u16string(s.begin(), s.end()); }

std::wstring SelfPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

void WriteStdout(const void* data, size_t n) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, static_cast<DWORD>(n), &written, nullptr);
}

// The helper actions, run before GoogleTest starts when the program is a helper child:
//   echo ARGS...                  each argument as UTF-16 followed by a zero character
//   sleep                         sleeps for a minute
//   spawn-and-sleep               starts a sleeping child of its own, prints its id, sleeps
//   probe-handle H SERIAL HI LO   "leaked" when handle value H refers to that file, else "clean"
//   touch PATH                    creates the file PATH
[[noreturn]] void RunChildAction(int argc, wchar_t** argv) {
  const std::wstring_view action = argv[2];
  if (action == L"echo") {
    for (int i = 3; i < argc; ++i) WriteStdout(argv[i], (wcslen(argv[i]) + 1) * sizeof(wchar_t));
    ExitProcess(0);
  }
  if (action == L"sleep") {
    Sleep(60000);
    ExitProcess(0);
  }
  if (action == L"spawn-and-sleep") {
    std::wstring line = L"\"" + SelfPath() + L"\" " + kChildFlag + L" sleep";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
      ExitProcess(2);
    const std::string id = std::to_string(pi.dwProcessId);
    WriteStdout(id.data(), id.size());
    Sleep(60000);
    ExitProcess(0);
  }
  if (action == L"touch" && argc == 4) {
    HANDLE h = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ExitProcess(h == INVALID_HANDLE_VALUE ? 1 : 0);
  }
  if (action == L"probe-handle" && argc == 7) {
    const auto h =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_wcstoui64(argv[3], nullptr, 10)));
    BY_HANDLE_FILE_INFORMATION info{};
    const bool leaked = GetFileInformationByHandle(h, &info) &&
                        info.dwVolumeSerialNumber == wcstoul(argv[4], nullptr, 10) &&
                        info.nFileIndexHigh == wcstoul(argv[5], nullptr, 10) &&
                        info.nFileIndexLow == wcstoul(argv[6], nullptr, 10);
    const char* text = leaked ? "leaked" : "clean";
    WriteStdout(text, strlen(text));
    ExitProcess(0);
  }
  ExitProcess(99);
}

[[maybe_unused]] const bool kHelperChild = [] {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc >= 3 && std::wstring_view(argv[1]) == kChildFlag) RunChildAction(argc, argv);
  LocalFree(argv);
  return false;
}();

std::vector<std::u16string> HelperArgv(std::initializer_list<std::u16string> args) {
  std::vector<std::u16string> argv{U16(SelfPath()), U16(kChildFlag)};
  argv.insert(argv.end(), args);
  return argv;
}

// ---- files

TEST(Win32ReplaceFileContents, ReadersSeeTheOldOrTheNewContentsNeverAnythingElse) {
  ScopedTempDir dir;
  const std::u16string path = U(dir.Sub("settings.ini"));
  const std::vector<uint8_t> a(64 * 1024, 'a'), b(96 * 1024, 'b');
  ASSERT_TRUE(platform::ReplaceFileContents(path, a));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    std::vector<uint8_t> got;
    uint64_t size = 0;
    while (!done.load()) {
      Sleep(1);  // readers come and go; one that never lets go is another matter
      const FileReadResult r = platform::ReadWholeFile(path, got, size, 1 << 20);
      if (r != FileReadResult::kOk || (got != a && got != b)) ++bad;
      ++reads;
    }
  });
  int replaced = 0;
  for (int i = 0; i < 100; ++i) replaced += platform::ReplaceFileContents(path, i % 2 ? a : b);
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
  // Without the rename that replaces an open file (before Windows 10 1709, off NTFS, under
  // Wine), a replace gives up when the reader holds the file through all its tries.
  EXPECT_GT(replaced, 50);
  EXPECT_TRUE(platform::ReplaceFileContents(path, b));
  std::vector<uint8_t> last;
  uint64_t size = 0;
  EXPECT_EQ(platform::ReadWholeFile(path, last, size, 1 << 20), FileReadResult::kOk);
  EXPECT_EQ(last, b);
  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolder(U(dir.path()), entries));
  EXPECT_EQ(entries.size(), 1u) << "temporary files left behind";
}

TEST(Win32ReplaceFileContents, KeepsTheMarksOfTheFileItReplacesAndFailsCleanly) {
  ScopedTempDir dir;
  const std::vector<uint8_t> bytes = {'n', 'e', 'w'};
  const std::string marked = dir.Sub("marked.ini");
  std::ofstream(marked, std::ios::binary) << "old";
  const std::wstring wide(marked.begin(), marked.end());
  ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(platform::ReplaceFileContents(U(marked), bytes));
  EXPECT_EQ(ReadFile(marked), "new");
  EXPECT_EQ(GetFileAttributesW(wide.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
            DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY});
  EXPECT_TRUE(platform::FileIsReadOnly(U(marked)));
  EXPECT_TRUE(platform::MakeFileWritable(U(marked)));
  EXPECT_FALSE(platform::FileIsReadOnly(U(marked)));

  EXPECT_TRUE(platform::ReplaceFileContents(U(dir.Sub("fresh.dat")), bytes));
  EXPECT_EQ(ReadFile(dir.Sub("fresh.dat")), "new");

  std::filesystem::create_directories(dir.Sub("folder"));
  EXPECT_FALSE(platform::ReplaceFileContents(U(dir.Sub("folder")), bytes));
  EXPECT_FALSE(platform::ReplaceFileContents(U(dir.Sub("missing/file.ini")), bytes));
  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolder(U(dir.path()), entries));
  EXPECT_EQ(entries.size(), 3u) << "temporary files left behind";
}

// A named pipe whose server never writes must not hold a reader.
TEST(Win32ReadWholeFile, ANamedPipeIsRefusedWithoutWaitingForItsServer) {
  const std::wstring name =
      L"\\\\.\\pipe\\vorla-test-" + std::to_wstring(GetCurrentProcessId()) + L"-settings";
  HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  auto read = std::async(std::launch::async, [&] {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    const FileReadResult r = platform::ReadWholeFile(U16(name), bytes, size, 1024);
    return std::make_pair(r, platform::CanReadRegularFile(U16(name)));
  });
  const bool finished = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  // Closing the server breaks the pipe, so a blocked reader ends and the test fails cleanly.
  CloseHandle(server);
  ASSERT_TRUE(finished) << "the read blocked on the pipe";
  const auto [result, readable] = read.get();
  EXPECT_EQ(result, FileReadResult::kCannotOpen);
  EXPECT_FALSE(readable);
}

TEST(Win32FileSystem, ReparsePointsAreLinksThatCopiesNeverWriteThrough) {
  ScopedTempDir dir;
  std::ofstream(dir.Sub("victim"), std::ios::binary) << "keep me";
  std::ofstream(dir.Sub("src"), std::ios::binary) << "new contents";
  std::filesystem::create_directories(dir.Sub("folder"));
  const auto wide = [&](const char* name) {
    const std::string s = dir.Sub(name);
    return std::wstring(s.begin(), s.end());
  };
  constexpr DWORD kUnprivileged = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  CreateSymbolicLinkW(wide("link").c_str(), wide("victim").c_str(), kUnprivileged);
  CreateSymbolicLinkW(wide("folder-link").c_str(), wide("folder").c_str(),
                      kUnprivileged | SYMBOLIC_LINK_FLAG_DIRECTORY);
  // Some systems report success without making a link.
  for (const char* link : {"link", "folder-link"}) {
    const DWORD attributes = GetFileAttributesW(wide(link).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      GTEST_SKIP() << "no symbolic links here (they need developer mode or the privilege)";
  }

  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolder(U(dir.path() + "/"), entries));
  std::sort(entries.begin(), entries.end(),
            [](const auto& x, const auto& y) { return x.name < y.name; });
  const std::vector<std::pair<std::u16string, EntryKind>> expected = {
      {u"folder", EntryKind::kFolder},      {u"folder-link", EntryKind::kSymlink},
      {u"link", EntryKind::kSymlink},       {u"src", EntryKind::kRegularFile},
      {u"victim", EntryKind::kRegularFile},
  };
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(ToUtf8(expected[i].first));
    EXPECT_EQ(entries[i].name, expected[i].first);
    EXPECT_EQ(entries[i].kind, expected[i].second);
  }
  EXPECT_EQ(platform::GetEntryKind(U(dir.Sub("folder-link"))), EntryKind::kFolder);
  EXPECT_TRUE(platform::IsSameFile(U(dir.Sub("link")), U(dir.Sub("victim"))));

  EXPECT_FALSE(platform::CopyRegularFile(U(dir.Sub("src")), U(dir.Sub("link")),
                                         platform::CopyMode::kFailIfExists));
  EXPECT_TRUE(platform::CopyRegularFile(U(dir.Sub("src")), U(dir.Sub("link")),
                                        platform::CopyMode::kReplace));
  EXPECT_EQ(ReadFile(dir.Sub("victim")), "keep me");
  EXPECT_EQ(ReadFile(dir.Sub("link")), "new contents");
  EXPECT_FALSE(platform::IsSameFile(U(dir.Sub("link")), U(dir.Sub("victim"))));
  // A link to a folder is removed as a file would be; the folder itself is not removed.
  EXPECT_TRUE(platform::RemoveFile(U(dir.Sub("folder-link"))));
  EXPECT_FALSE(platform::RemoveFile(U(dir.Sub("folder"))));
  EXPECT_EQ(platform::GetEntryKind(U(dir.Sub("folder"))), EntryKind::kFolder);
}

// ---- processes

TEST(Win32RunProcess, ArgumentsReachTheChildUnchanged) {
  ScopedTempDir dir;
  // The program itself from a folder with a space in its name.
  std::filesystem::create_directories(dir.Sub("with space"));
  const std::string copy = dir.Sub("with space/helper.exe");
  ASSERT_TRUE(CopyFileW(SelfPath().c_str(), std::wstring(copy.begin(), copy.end()).c_str(), TRUE));
  const std::vector<std::u16string> args = {
      u"plain",       u"two words",  u"",          u"tab\there", u"say \"hi\"",
      u"\"",          u"trailing\\", u"a\\\\b",    u"end \\",    u"back\\\"quote",
      u"\\\\\"x\\\\", u"new\nline",  u"ünïcødé ✓",
  };
  std::vector<std::u16string> argv = {U(copy), U16(kChildFlag), u"echo"};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto r = platform::RunProcess(argv, 20000, U(dir.Sub("out")));
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  const std::string out = ReadFile(dir.Sub("out"));
  std::vector<std::u16string> got;
  std::u16string current;
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(static_cast<uint8_t>(out[i]) |
                                             (static_cast<uint8_t>(out[i + 1]) << 8));
    if (c == 0) {
      got.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  ASSERT_EQ(got.size(), args.size());
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(ToUtf8(got[i]), ToUtf8(args[i])) << i;
}

TEST(Win32RunProcess, ReportsExitCodesAndProgramsThatCannotStart) {
  struct Case {
    std::vector<std::u16string> argv;
    bool started;
    int code;
  } cases[] = {
      {{u"cmd", u"/c", u"exit 7"}, true, 7},  // a bare name, found through PATH
      {{u"C:/nonexistent/program.exe"}, false, -1},
      {{u"no-such-program-here"}, false, -1},
      {{}, false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.empty() ? "(empty)" : ToUtf8(c.argv[0]));
    const auto r = platform::RunProcess(c.argv, 20000);
    EXPECT_EQ(r.started, c.started);
    EXPECT_EQ(r.exited, c.started);
    EXPECT_EQ(r.exit_code, c.code);
  }
}

TEST(Win32RunProcess, StdoutGoesToAFreshFileAndNoOtherHandleIsInherited) {
  ScopedTempDir dir;
  const std::string held = dir.Sub("held");
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE h = CreateFileW(std::wstring(held.begin(), held.end()).c_str(), GENERIC_WRITE, 0,
                         &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  const auto number = [](uint64_t v) { return U(std::to_string(v)); };
  const auto r =
      platform::RunProcess(HelperArgv({u"probe-handle", number(reinterpret_cast<uintptr_t>(h)),
                                       number(info.dwVolumeSerialNumber),
                                       number(info.nFileIndexHigh), number(info.nFileIndexLow)}),
                           20000, U(dir.Sub("out")));
  CloseHandle(h);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(ReadFile(dir.Sub("out")), "clean");

  // A file in the way: nothing starts and the file stays as it was.
  const auto again = platform::RunProcess(HelperArgv({u"echo", u"x"}), 20000, U(dir.Sub("out")));
  EXPECT_FALSE(again.started);
  EXPECT_EQ(ReadFile(dir.Sub("out")), "clean");
}

TEST(Win32RunProcess, TimeLimitEndsTheProgramAndWhatItStarted) {
  ScopedTempDir dir;
  const auto start = std::chrono::steady_clock::now();
  const auto r = platform::RunProcess(HelperArgv({u"spawn-and-sleep"}), 3000, U(dir.Sub("out")));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.exited);
  EXPECT_LT(took, std::chrono::seconds(15));
  const std::string id = ReadFile(dir.Sub("out"));
  ASSERT_FALSE(id.empty()) << "the helper did not start its own child in time";
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(id)));
  if (grandchild == nullptr) return;  // already gone
  const DWORD waited = WaitForSingleObject(grandchild, 5000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(grandchild, 1);
  CloseHandle(grandchild);
  EXPECT_EQ(waited, DWORD{WAIT_OBJECT_0}) << "the program's own child outlived the time limit";
}

TEST(Win32RunProcess, TimeLimitRunsOnThePlatformClock) {
  platform::FakeClock clock;
  platform::ScopedClockOverride use(clock);
  const auto start = std::chrono::steady_clock::now();
  const auto r = platform::RunProcess(HelperArgv({u"sleep"}), 30000);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.exited);
  EXPECT_GE(clock.TickMs(), 30000u);
  EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(Win32StartDetachedProcess, StartsWithoutWaitingAndReportsWhatCannotStart) {
  ScopedTempDir dir;
  const std::string mark = dir.Sub("started");
  EXPECT_TRUE(platform::StartDetachedProcess(HelperArgv({u"touch", U(mark)})));
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    seen = test::FileExists(mark);
    if (!seen) Sleep(50);
  }
  EXPECT_TRUE(seen) << "the detached program did not run";
  EXPECT_FALSE(platform::StartDetachedProcess({u"no-such-program-here"}));
  EXPECT_FALSE(platform::StartDetachedProcess({}));
}

// ---- sockets

TEST(Win32Sockets, ADatagramLongerThanTheBufferIsCutAndSaysSo) {
  auto receiver = platform::UdpSocket::Create();
  auto sender = platform::UdpSocket::Create();
  ASSERT_TRUE(receiver && sender);
  ASSERT_EQ(receiver->Bind(0), 0u);
  std::vector<uint8_t> long_one(100), short_one = {1, 2, 3, 4, 5};
  for (size_t i = 0; i < long_one.size(); ++i) long_one[i] = static_cast<uint8_t>(i);
  const uint32_t loopback = platform::LoopbackAddress();
  ASSERT_EQ(sender->SendTo(loopback, receiver->LocalPort(), long_one), 0u);
  ASSERT_EQ(sender->SendTo(loopback, receiver->LocalPort(), short_one), 0u);

  std::vector<uint8_t> buffer(10);
  bool truncated = false;
  ASSERT_EQ(receiver->WaitReadable(5000), platform::SocketWait::kReady);
  EXPECT_EQ(receiver->ReceiveFrom(buffer, &truncated), 10);
  EXPECT_TRUE(truncated);
  EXPECT_EQ(platform::LastSocketError(), 0u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), long_one.begin()));
  // The rest of the long datagram is gone; the next receive is the next datagram.
  ASSERT_EQ(receiver->WaitReadable(5000), platform::SocketWait::kReady);
  EXPECT_EQ(receiver->ReceiveFrom(buffer, &truncated), 5);
  EXPECT_FALSE(truncated);
  EXPECT_TRUE(std::equal(short_one.begin(), short_one.end(), buffer.begin()));
}

TEST(Win32Sockets, ShutdownEndsAReceiveBlockedInAnotherThread) {
  auto listener = platform::TcpListener::Listen(platform::LoopbackAddress(), 0);
  ASSERT_NE(listener, nullptr);
  auto socket = platform::TcpSocket::Create();
  ASSERT_EQ(socket->Connect(platform::LoopbackAddress(), listener->port()), 0u);
  auto peer = listener->Accept(5000);  // stays open and silent
  ASSERT_NE(peer, nullptr);
  auto receive = std::async(std::launch::async, [&] {
    std::vector<uint8_t> buffer(64);
    return socket->Receive(buffer);
  });
  EXPECT_EQ(receive.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  socket->Shutdown();
  const bool ended = receive.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  if (!ended) peer->Close();  // lets a stuck receive end before the socket goes away
  ASSERT_TRUE(ended) << "the receive went on after Shutdown";
  EXPECT_EQ(receive.get(), 0);
}

TEST(Win32Sockets, AListenersPortCannotBeTakenOverByAnotherSocket) {
  auto listener = platform::TcpListener::Listen(platform::LoopbackAddress(), 0);
  ASSERT_NE(listener, nullptr);
  // What another program could try: bind the same port with address reuse asked for.
  SOCKET other = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(other, INVALID_SOCKET);
  const BOOL one = TRUE;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(listener->port());
  sa.sin_addr.s_addr = platform::LoopbackAddress();
  const int bound = bind(other, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
  const int error = WSAGetLastError();
  closesocket(other);
  EXPECT_NE(bound, 0);
  EXPECT_TRUE(error == WSAEADDRINUSE || error == WSAEACCES) << error;
}

}  // namespace
}  // namespace vorla
