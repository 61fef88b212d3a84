// Parts of the browser session that need no browser: the address policy,
// finding the executable, its command line, the process teardown and the
// DevTools connection (against a scripted peer on a socket pair).
#include <korvane/browser/session.hpp>

#include "host/browser/address.hpp"
#include "host/browser/connection.hpp"
#include "host/browser/process.hpp"

#include <korvane/commerce/async.hpp>

#include "commerce/async_runtime.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include "support/processes.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
namespace detail = korvane::browser::detail;
using korvane::browser::BrowserError;
using korvane::browser::BrowserUnavailableError;
using korvane::commerce::awaitable;
using korvane::commerce::detail::run_coroutine;
using testing::Contains;
using testing::HasSubstr;

// ---------------------------------------------------------------- address policy

TEST(AddressPolicy, OnlyPublicAddressesPass) {
  struct Case {
    const char* address;
    bool is_public;
  };
  const Case cases[] = {
      {"93.184.216.34", true},   {"8.8.8.8", true},          {"2606:4700::1111", true},
      {"127.0.0.1", false},      {"127.255.0.9", false},     {"10.1.2.3", false},
      {"172.16.0.1", false},     {"172.31.255.255", false},  {"172.32.0.1", true},
      {"192.168.1.1", false},    {"169.254.169.254", false}, {"100.64.0.1", false},
      {"0.0.0.0", false},        {"224.0.0.1", false},       {"239.255.255.250", false},
      {"255.255.255.255", false}, {"198.18.0.1", false},     {"192.0.2.1", false},
      {"::1", false},            {"::", false},              {"fe80::1", false},
      {"fc00::1", false},        {"fd12:3456::1", false},    {"ff02::1", false},
      {"::ffff:127.0.0.1", false}, {"::ffff:8.8.8.8", true}, {"64:ff9b::a00:1", false},
      {"2002:c0a8:0101::1", false}, {"2001:db8::1", false},
  };
  for (const auto& c : cases) {
    const auto address = detail::parse_address(c.address);
    ASSERT_TRUE(address) << c.address;
    EXPECT_EQ(detail::is_public_address(*address), c.is_public) << c.address;
  }
  EXPECT_EQ(detail::parse_address("[::1]"), detail::parse_address("::1"));
  EXPECT_FALSE(detail::parse_address("shop.example"));
  EXPECT_FALSE(detail::parse_address(""));
}

// ---------------------------------------------------------------- executable and command line

// A folder with an executable script in it, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() : dir_("korvane-parts-test-") {}
  fs::path write(const std::string& name, const std::string& text, bool executable) {
    const auto path = dir_.path() / name;
    std::ofstream(path) << text;
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    return path;
  }
  const fs::path& path() const { return dir_.path(); }

 private:
  detail::TempDirectory dir_;
};

// Sets an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvVar() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(FindChromium, ConfiguredThenEnvironmentThenPath) {
  ScratchFolder folder;
  const auto configured = folder.write("my-browser", "#!/bin/sh\n", true);
  const auto named = folder.write("env-browser", "#!/bin/sh\n", true);
  const auto on_path = folder.write("chromium-browser", "#!/bin/sh\n", true);
  const auto not_executable = folder.write("plain", "", false);
  const EnvVar path("PATH", folder.path().string());
  {
    const EnvVar env("KORVANE_CHROMIUM", named.string());
    EXPECT_EQ(detail::find_chromium(configured.string()), configured.string());
    EXPECT_EQ(detail::find_chromium(""), named.string());
  }
  {
    const EnvVar env("KORVANE_CHROMIUM", "");
    EXPECT_EQ(detail::find_chromium(""), on_path.string());
  }
  {
    const EnvVar env("KORVANE_CHROMIUM", "env-browser");  // a bare name is looked up on PATH
    EXPECT_EQ(detail::find_chromium(""), named.string());
  }
  {
    const EnvVar env("KORVANE_CHROMIUM", not_executable.string());
    EXPECT_THROW((void)detail::find_chromium(""), BrowserUnavailableError);
  }
  EXPECT_THROW((void)detail::find_chromium(not_executable.string()), BrowserUnavailableError);
  fs::remove(on_path);
  try {
    (void)detail::find_chromium("");
    ADD_FAILURE() << "found a browser in an empty PATH";
  } catch (const BrowserUnavailableError& e) {
    EXPECT_THAT(e.what(), HasSubstr("looked for chromium, chromium-browser"));
  }
}

TEST(ChromiumArguments, ServerFlagsAndExtraArgumentsLast) {
  const std::vector<std::string> extra{"--host-resolver-rules=MAP * 127.0.0.1:1"};
  const auto args = detail::chromium_arguments(true, "/tmp/p", extra);
  for (const char* flag : {"--headless=new", "--remote-debugging-pipe", "--user-data-dir=/tmp/p", "--no-first-run",
                           "--disable-background-networking", "--disable-component-update", "--disable-sync",
                           "--disable-gpu", "--disable-quic", "--no-startup-window"}) {
    EXPECT_THAT(args, Contains(std::string(flag)));
  }
  EXPECT_EQ(std::count(args.begin(), args.end(), "--no-sandbox"), ::geteuid() == 0 ? 1 : 0);
  EXPECT_EQ(args.back(), extra.back());
  EXPECT_THAT(detail::chromium_arguments(false, "/tmp/p", {}), testing::Not(Contains(std::string("--headless=new"))));
}

// ---------------------------------------------------------------- the process

int socket_pair_end(int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
  return fds[1];
}

TEST(ChromiumProcess, TerminateKillsTheGroupAndMarkedProcesses) {
  ScratchFolder folder;
  const std::string marker = folder.path().string();
  // A "browser" with a child in its group and a helper that leaves the group
  // (as the crash handler does) but names the marker on its command line.
  const auto script = folder.write("browser",
                                   "#!/bin/sh\n"
                                   "sleep 30 &\n"
                                   "setsid tail -f " + marker + "/log &\n"
                                   "exec sleep 32\n",
                                   true);
  int fds[2];
  const int child_end = socket_pair_end(fds);
  int pid = 0;
  {
    detail::ChromiumProcess process(script.string(), {}, {{"KORVANE_TEST", "1"}}, child_end, folder.path() / "log",
                                    marker);
    ::close(child_end);
    pid = process.pid();
    // The helper outside the group, once the script has started it.
    EXPECT_TRUE(korvane::testing::eventually([&] { return korvane::testing::processes_mentioning(marker + "/log") == 1; }));
    EXPECT_TRUE(detail::group_has_live_members(pid));
    EXPECT_FALSE(process.try_reap());
    process.terminate();
    EXPECT_TRUE(process.reaped());
    EXPECT_EQ(process.exit_description(), "killed by signal 9");
  }
  ::close(fds[0]);
  EXPECT_FALSE(detail::group_has_live_members(pid));
  EXPECT_EQ(korvane::testing::processes_mentioning(marker + "/log"), 0);
  EXPECT_FALSE(detail::kill_live_processes(pid, marker));  // nothing left to kill
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
}

TEST(ChromiumProcess, ProgramThatCannotRunIsAClearError) {
  ScratchFolder folder;
  const auto not_a_program = folder.write("broken", "\x7f" "ELF garbage", true);
  int fds[2];
  const int child_end = socket_pair_end(fds);
  try {
    detail::ChromiumProcess process(not_a_program.string(), {}, {}, child_end, folder.path() / "log", "");
    ADD_FAILURE() << "a broken program started";
  } catch (const BrowserUnavailableError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot execute '" + not_a_program.string() + "'"));
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(TempDirectory, RemovedWithItsContents) {
  fs::path path;
  {
    detail::TempDirectory dir("korvane-parts-test-");
    path = dir.path();
    fs::create_directories(path / "a" / "b");
    std::ofstream(path / "a" / "b" / "f") << "x";
    EXPECT_TRUE(fs::is_directory(path));
  }
  EXPECT_FALSE(fs::exists(path));
}

TEST(TempDirectory, ALongTemporaryFolderGivesWayToTmp) {
  const char* saved = std::getenv("TMPDIR");
  const std::string keep = saved != nullptr ? saved : "";
  const auto base_with = [](const std::string& tmpdir) {
    setenv("TMPDIR", tmpdir.c_str(), 1);
    return detail::temporary_base();
  };
  EXPECT_EQ(base_with("/var/tmp"), fs::path("/var/tmp"));
  // Chromium's socket under this one would not fit a socket address.
  EXPECT_EQ(base_with("/var/tmp/pytest-of-root/pytest-12/test_cancellation0"), fs::path("/tmp"));
  if (saved != nullptr) {
    setenv("TMPDIR", keep.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(TempDirectory, FoldersOfEndedProcessesAreRemovedOthersKept) {
  ScratchFolder base;
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const std::string prefix = "korvane-chromium-";
  const std::string dead = std::to_string(ended) + ".12345";
  struct Case {
    std::string name;
    std::optional<std::string> owner;  // the owner file's text
    bool removed;
  };
  const Case folders[] = {
      {prefix + "dead", dead + "\n", true},
      {prefix + "reused", std::to_string(getpid()) + ".1\n", true},  // this pid, another start time
      {prefix + "live", detail::process_mark() + "\n", false},
      {prefix + "unmarked", std::nullopt, false},  // an older run's, or not ours
      {prefix + "garbled", "12x.5\n", false},
      {"other-dead", dead, false},
  };
  for (const auto& f : folders) {
    fs::create_directories(base.path() / f.name / "profile" / "Default");
    if (f.owner) std::ofstream(base.path() / f.name / detail::OWNER_FILE) << *f.owner;
  }
  // A link to a folder of a dead process (and that folder) stays; so does
  // an owner file that is a link.
  fs::create_directory(base.path() / "target");
  std::ofstream(base.path() / "target" / detail::OWNER_FILE) << dead;
  fs::create_directory_symlink(base.path() / "target", base.path() / (prefix + "link"));
  fs::create_directory(base.path() / (prefix + "linked-owner"));
  fs::create_symlink(base.path() / "target" / detail::OWNER_FILE,
                     base.path() / (prefix + "linked-owner") / detail::OWNER_FILE);
  // Another user's folder stays.
  if (geteuid() == 0) {
    fs::create_directory(base.path() / (prefix + "other-user"));
    std::ofstream(base.path() / (prefix + "other-user") / detail::OWNER_FILE) << dead;
    ASSERT_EQ(chown((base.path() / (prefix + "other-user")).c_str(), 65534, 65534), 0);
  }

  EXPECT_EQ(detail::remove_abandoned_directories(base.path(), prefix), 2U);
  for (const auto& f : folders) EXPECT_EQ(fs::exists(base.path() / f.name), !f.removed) << f.name;
  EXPECT_TRUE(fs::is_symlink(base.path() / (prefix + "link")));
  EXPECT_TRUE(fs::is_directory(base.path() / "target"));
  EXPECT_TRUE(fs::is_directory(base.path() / (prefix + "linked-owner")));
  if (geteuid() == 0) EXPECT_TRUE(fs::is_directory(base.path() / (prefix + "other-user")));

  // A fresh directory is marked as this process's.
  detail::TempDirectory made(prefix);
  ASSERT_TRUE(detail::mark_as_owned(made.path()));
  std::ifstream owner(made.path() / detail::OWNER_FILE);
  std::string text;
  std::getline(owner, text);
  EXPECT_EQ(text, detail::process_mark());
  EXPECT_EQ(detail::remove_abandoned_directories(made.path().parent_path(), prefix + "never"), 0U);
  EXPECT_TRUE(fs::exists(made.path()));
}

TEST(FileTail, WholeLinesOfTheEnd) {
  ScratchFolder folder;
  const auto log = folder.write("log", "first line\nsecond line\nthird line\n", false);
  EXPECT_EQ(detail::file_tail(log, 1000), "first line\nsecond line\nthird line");
  EXPECT_EQ(detail::file_tail(log, 15), "third line");
  EXPECT_EQ(detail::file_tail(folder.path() / "missing", 100), "");
}

// ---------------------------------------------------------------- the DevTools connection

// The browser's end of the pipe, scripted: answers commands from a table,
// sends events, splits its output at awkward places.
class FakePeer {
 public:
  explicit FakePeer(int fd) : fd_(fd) {}
  ~FakePeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  // Reads one NUL-ended message.
  json::object read() {
    std::string message;
    char c = 0;
    while (::read(fd_, &c, 1) == 1 && c != '\0') message.push_back(c);
    return json::parse(message).as_object();
  }
  // Writes raw bytes, one byte at a time when `trickle`.
  void write(const std::string& bytes, bool trickle = false) {
    if (!trickle) {
      (void)::write(fd_, bytes.data(), bytes.size());
      return;
    }
    for (const char c : bytes) (void)::write(fd_, &c, 1);
  }
  void close() {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

class RecordingSink final : public detail::EventSink {
 public:
  void on_event(std::string_view method, const json::object& params) override {
    events.push_back(std::string(method) + " " + json::serialize(params));
  }
  void on_connection_closed() override { closed = true; }
  std::vector<std::string> events;
  bool closed = false;
};

TEST(Connection, CommandsAnswersAndEvents) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FakePeer peer(fds[1]);
  std::thread browser([&peer] {
    const auto first = peer.read();
    const auto second = peer.read();
    EXPECT_EQ(first.at("method").as_string(), "Target.createTarget");
    EXPECT_EQ(second.at("sessionId").as_string(), "S1");
    // An event for the tab, an event for another session, an answer split
    // across writes, and the answers in reverse order.
    peer.write(R"({"method":"Page.lifecycleEvent","params":{"name":"load"},"sessionId":"S1"})" + std::string(1, '\0') +
                   R"({"method":"Page.lifecycleEvent","params":{"name":"x"},"sessionId":"OTHER"})" + std::string(1, '\0') +
                   R"({"method":"Target.detachedFromTarget","params":{"sessionId":"S1"}})" + std::string(1, '\0'),
               true);
    peer.write(R"({"id":)" + std::to_string(second.at("id").as_int64()) +
               R"(,"error":{"code":-32000,"message":"No such node","data":"detail"}})" + std::string(1, '\0'));
    peer.write("not json" + std::string(1, '\0'));
    peer.write(R"({"id":)" + std::to_string(first.at("id").as_int64()) + R"(,"result":{"targetId":"T1"}})" +
               std::string(1, '\0'), true);
  });
  asio::io_context ctx;
  auto conn = std::make_shared<detail::Connection>(ctx.get_executor(), fds[0]);
  auto sink = std::make_shared<RecordingSink>();
  conn->subscribe("S1", sink);
  conn->start();
  std::string target;
  std::string error;
  asio::co_spawn(
      ctx,
      [&]() -> awaitable<void> {
        const auto deadline = detail::Clock::now() + std::chrono::seconds(5);
        auto first = conn->begin("Target.createTarget", {}, "", deadline);
        auto second = conn->begin("DOM.describeNode", {}, "S1", deadline);
        try {
          (void)co_await conn->finish(second);
        } catch (const BrowserError& e) {
          error = e.what();
        }
        const auto result = co_await conn->finish(first);
        target = std::string(result.at("targetId").as_string());
        conn->close("done");
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  ctx.run();
  browser.join();
  EXPECT_EQ(target, "T1");
  EXPECT_EQ(error, "DOM.describeNode failed: No such node (detail)");
  EXPECT_THAT(sink->events, testing::ElementsAre(R"(Page.lifecycleEvent {"name":"load"})",
                                                  R"(Target.detachedFromTarget {"sessionId":"S1"})"));
  EXPECT_TRUE(sink->closed);
}

TEST(Connection, TimeoutsAndALostBrowser) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FakePeer peer(fds[1]);
  asio::io_context ctx;
  auto conn = std::make_shared<detail::Connection>(ctx.get_executor(), fds[0]);
  conn->start();
  std::vector<std::string> errors;
  asio::co_spawn(
      ctx,
      [&]() -> awaitable<void> {
        // Nobody answers: a timeout of its own type.
        try {
          (void)co_await conn->call("Browser.getVersion", {}, "", detail::Clock::now() + std::chrono::milliseconds(50));
        } catch (const detail::CommandTimeout& e) {
          errors.emplace_back(e.what());
        }
        // The browser goes away while a command waits.
        peer.close();
        try {
          (void)co_await conn->call("Browser.getVersion", {}, "", detail::Clock::now() + std::chrono::seconds(5));
        } catch (const BrowserError& e) {
          errors.emplace_back(e.what());
        }
        // Later commands fail at once with the same reason.
        try {
          (void)co_await conn->call("Browser.close", {}, "", detail::Clock::now() + std::chrono::seconds(5));
        } catch (const BrowserError& e) {
          errors.emplace_back(e.what());
        }
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  ctx.run();
  // The loss shows as the end of the stream or as a failed write, whichever
  // the connection notices first; later commands fail with the same reason.
  ASSERT_EQ(errors.size(), 3U);
  EXPECT_EQ(errors[0], "the browser did not answer Browser.getVersion in time");
  EXPECT_THAT(errors[1], testing::AnyOf("the browser closed its DevTools connection",
                                        testing::StartsWith("writing to the browser failed")));
  EXPECT_EQ(errors[2], errors[1]);
  EXPECT_TRUE(conn->closed());
}

}  // namespace
