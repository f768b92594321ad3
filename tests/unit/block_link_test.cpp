#include "platform/block_link.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "platform/fd.h"
#include "startup/controller.h"
#include "support.h"

namespace kestrel {
namespace {

// The link's own operations, standing behind the descriptor.
struct MethodsLink : RadarLink {
  bool byte_waiting() override {
    calls.push_back("inWaiting");
    return true;
  }
  std::uint8_t read_byte() override {
    calls.push_back("read");
    return 'M';
  }
  bool quiet_stick() override { return false; }
  std::vector<std::string> calls;
};

int signal_checks = 0;
void count_signal_check() { ++signal_checks; }

struct Interrupted {};
void interrupt() { throw Interrupted{}; }

struct Pipe {
  Pipe() {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    out = Fd(ends[0]);
    in = Fd(ends[1]);
  }
  void send(const std::string& bytes) const {
    EXPECT_EQ(::write(in.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  int queued() const {
    int count = -1;
    EXPECT_EQ(::ioctl(out.get(), FIONREAD, &count), 0);
    return count;
  }
  Fd out, in;
};

TEST(BlockLink, TakesTheWaitingBlockAtTheFirstReadAndHandsItOutByteByByte) {
  Pipe pipe;
  MethodsLink methods;
  signal_checks = 0;
  BlockLink link(pipe.out.get(), methods, count_signal_check);

  pipe.send("abc");
  ASSERT_TRUE(link.byte_waiting());
  EXPECT_EQ(pipe.queued(), 3) << "a poll must leave the bytes in the driver until the read";
  EXPECT_EQ(link.read_byte(), 'a');
  EXPECT_EQ(pipe.queued(), 0) << "the first read takes every waiting byte";

  pipe.send("de");  // arrives while the block is handed out
  std::string got;
  while (got.size() < 4) {
    ASSERT_TRUE(link.byte_waiting());
    got += static_cast<char>(link.read_byte());
  }
  EXPECT_EQ(got, "bcde");
  EXPECT_EQ(signal_checks, 2) << "signals are checked at every poll that asks the driver";
  EXPECT_TRUE(methods.calls.empty());
}

TEST(BlockLink, APendingSignalStopsThePoll) {
  Pipe pipe;
  MethodsLink methods;
  BlockLink link(pipe.out.get(), methods, interrupt);
  EXPECT_THROW(link.byte_waiting(), Interrupted);
}

TEST(BlockLink, DescriptorFailuresAreLeftToTheLinksOwnOperations) {
  MethodsLink methods;
  BlockLink broken(-1, methods, count_signal_check);
  EXPECT_TRUE(broken.byte_waiting());
  EXPECT_EQ(broken.read_byte(), 'M');
  EXPECT_EQ(methods.calls, (std::vector<std::string>{"inWaiting", "read"}));

  // End of file although the driver reported a byte: the link's read reports it.
  Pipe pipe;
  MethodsLink after_eof;
  BlockLink link(pipe.out.get(), after_eof, count_signal_check);
  pipe.send("x");
  ASSERT_TRUE(link.byte_waiting());
  char drained;
  ASSERT_EQ(::read(pipe.out.get(), &drained, 1), 1);
  pipe.in.close();
  EXPECT_EQ(link.read_byte(), 'M');
  EXPECT_EQ(after_eof.calls, (std::vector<std::string>{"read"}));
}

// Runs an action on a thread of its own after a delay, unless it is destroyed
// first. `done` tells whether it started.
class Later {
 public:
  Later(std::chrono::milliseconds delay, std::function<void()> action)
      : thread_([this, delay, action] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!woken_.wait_for(lock, delay, [this] { return cancelled_; })) {
            done = true;
            action();
          }
        }) {}
  ~Later() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
    }
    woken_.notify_all();
    thread_.join();
  }
  std::atomic<bool> done{false};

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  bool cancelled_ = false;
  std::thread thread_;
};

// Polls the way the receive cycle waits for a byte; returns how many polls
// found nothing.
int empty_polls_until_a_byte(RadarLink& link) {
  int empty = 0;
  while (!link.byte_waiting()) ++empty;
  return empty;
}

TEST(BlockLink, ASilentLinkSleepsUntilAByteArrives) {
  Pipe pipe;
  MethodsLink methods;
  BlockLink link(pipe.out.get(), methods, count_signal_check);
  for (int byte : {'x', 'y'}) {
    Later send(std::chrono::milliseconds(100), [&] { pipe.send(std::string(1, byte)); });
    EXPECT_LE(empty_polls_until_a_byte(link), 1) << "a busy poll asks again and again";
    EXPECT_EQ(link.read_byte(), byte);
  }
  EXPECT_TRUE(methods.calls.empty());
}

// A signal is delivered to the handler, which only notes it; the run's check
// of signals then throws, as Python's check does after its handler ran.
volatile sig_atomic_t signal_noted = 0;
int checks_before_raise = 0;  // raise the signal at this check (0: never)

void check_noted_signal() {
  if (signal_noted) throw Interrupted{};
  if (--checks_before_raise == 0) ::raise(SIGUSR1);
}

struct NotedSignal {
  NotedSignal() {
    struct sigaction note {};
    note.sa_handler = [](int) { signal_noted = 1; };
    sigemptyset(&note.sa_mask);
    ::sigaction(SIGUSR1, &note, &before);  // no SA_RESTART, as Python installs its handlers
    signal_noted = 0;
  }
  ~NotedSignal() { ::sigaction(SIGUSR1, &before, nullptr); }
  struct sigaction before {};
};

TEST(BlockLink, ASignalEndsTheSleepAndTheNextPollStopsTheRun) {
  NotedSignal noted;
  checks_before_raise = 0;
  Pipe pipe;
  MethodsLink methods;
  BlockLink link(pipe.out.get(), methods, check_noted_signal);
  const pthread_t sleeper = ::pthread_self();
  Later interrupt(std::chrono::milliseconds(100), [&] { ::pthread_kill(sleeper, SIGUSR1); });
  Later rescue(std::chrono::seconds(20), [&] { pipe.send("x"); });
  EXPECT_FALSE(link.byte_waiting());
  EXPECT_TRUE(interrupt.done);
  EXPECT_THROW(link.byte_waiting(), Interrupted);
  EXPECT_FALSE(rescue.done) << "the poll slept on after the signal, until a byte came";
}

// A signal that comes between a poll's check and its sleep must not wait for
// the next byte either: the poll checks once more with signals held back, and
// sleeps with them let in.
TEST(BlockLink, ASignalJustBeforeTheSleepEndsItAtOnce) {
  for (int at_check : {1, 2}) {
    SCOPED_TRACE(at_check);
    NotedSignal noted;
    checks_before_raise = at_check;
    Pipe pipe;
    MethodsLink methods;
    BlockLink link(pipe.out.get(), methods, check_noted_signal);
    Later rescue(std::chrono::seconds(20), [&] { pipe.send("x"); });
    EXPECT_THROW(empty_polls_until_a_byte(link), Interrupted);
    EXPECT_FALSE(rescue.done) << "the signal waited for a byte";
  }
}

// Work that falls due once, `after` from now; notes whether a byte had been
// sent when it ran.
struct WorkDue : IdleWork {
  WorkDue(std::chrono::milliseconds after, const std::atomic<bool>& sent)
      : due(std::chrono::steady_clock::now() + after), byte_sent(sent) {}
  int run_due() override {
    const auto now = std::chrono::steady_clock::now();
    if (!ran && now >= due) {
      ran = true;
      ran_before_the_byte = !byte_sent;
    }
    if (ran) return -1;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
  }
  std::chrono::steady_clock::time_point due;
  const std::atomic<bool>& byte_sent;
  bool ran = false;
  bool ran_before_the_byte = false;
};

TEST(BlockLink, TheSleepWakesOnceForIdleWorkThenSleepsUntilAByte) {
  Pipe pipe;
  MethodsLink methods;
  Later send(std::chrono::milliseconds(400), [&] { pipe.send("y"); });
  WorkDue work(std::chrono::milliseconds(50), send.done);
  BlockLink link(pipe.out.get(), methods, count_signal_check, work);
  EXPECT_LE(empty_polls_until_a_byte(link), 2);
  EXPECT_TRUE(work.ran_before_the_byte);
  EXPECT_EQ(link.read_byte(), 'y');
}

TEST(BlockLink, AHangUpIsLeftToTheLinksOwnOperations) {
  // A pipe whose writer is gone: the driver reports nothing, the sleep ends at once.
  Pipe pipe;
  pipe.in.close();
  MethodsLink methods;
  BlockLink link(pipe.out.get(), methods, count_signal_check);
  EXPECT_TRUE(link.byte_waiting());
  EXPECT_EQ(methods.calls, (std::vector<std::string>{"inWaiting"}));

  // A pseudo-terminal whose other side closed, as a radar device that vanished.
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  Fd slave_end(slave);
  ::close(master);
  MethodsLink after_hang_up;
  BlockLink radar(slave_end.get(), after_hang_up, count_signal_check);
  EXPECT_TRUE(radar.byte_waiting());
  EXPECT_EQ(after_hang_up.calls, (std::vector<std::string>{"inWaiting"}));
}

// The whole run with the stream read in blocks through a pipe, against the same
// run with a link that is polled and read byte by byte: apart from the polls
// and reads themselves, every effect happens in the same order.
int stream_fd = -1;
void end_when_drained() {
  int queued = 0;
  if (::ioctl(stream_fd, FIONREAD, &queued) == 0 && queued == 0) throw testing::StreamEnd{};
}

struct PipePorts : SerialPorts {
  explicit PipePorts(int fd) : fd(fd) {}
  std::unique_ptr<RadarLink> open(const std::string&, long) override {
    return std::make_unique<BlockLink>(fd, unused, end_when_drained);
  }
  int fd;
  MethodsLink unused;
};

// The sleep also wakes for what appears under the watched folder, and lasts
// no longer than until the watch's look falls due; bytes tell the watch the
// radar spoke.
TEST(BlockLink, TheSleepWakesForTheStickWatch) {
  testing::TempDir media;
  auto now = StickWatch::Clock::now();
  StickWatch watch(media.path, [&] { return now; });
  Pipe pipe;
  MethodsLink methods;
  BlockLink link(pipe.out.get(), methods, count_signal_check, no_idle_work(), watch);

  // Not due for 5 s: a mount point made after 100 ms ends the sleep.
  const auto began = std::chrono::steady_clock::now();
  Later mount_point(std::chrono::milliseconds(100),
                    [&] { ::mkdir((media / "STICK").c_str(), 0755); });
  EXPECT_FALSE(link.byte_waiting());
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  EXPECT_FALSE(link.quiet_stick());

  // Quiet for 5 s since the change: the poll does not sleep, and the look is due.
  now += StickWatch::quiet_time;
  EXPECT_FALSE(link.byte_waiting());
  EXPECT_TRUE(link.quiet_stick());
  EXPECT_FALSE(link.quiet_stick()) << "once";

  // A byte: the radar's silence starts over.
  ::mkdir((media / "OTHER").c_str(), 0755);
  now += StickWatch::quiet_time;
  pipe.send("x");
  EXPECT_TRUE(link.byte_waiting());
  EXPECT_EQ(link.read_byte(), 'x');
  Later rescue(std::chrono::milliseconds(300), [&] { pipe.send("y"); });
  // One wake for the change, one for the byte; the look is not due yet.
  EXPECT_EQ(empty_polls_until_a_byte(link), 2);
  EXPECT_FALSE(link.quiet_stick());
  EXPECT_TRUE(rescue.done);
}

TEST(BlockLink, TheControllerListsOncePerByteAndRunsAsWithAByteByByteLink) {
  const std::vector<int> frame = {0xAA, 0xAA, 0x0C, 0x07, 0x00, 0x00, 0x01,
                                  0x2C, 0x00, 0x02, 0xBC, 0x00, 0x55};
  std::vector<int> stream = frame;
  stream.push_back(0x00);  // finds the stick
  stream.insert(stream.end(), frame.begin(), frame.end());
  const Config config{3.5, 1.0, " ", "SN\n"};
  auto prepare = [](testing::Fakes& fakes) {
    fakes.media = {{13, {"STICK"}}, {14, {}}};
    fakes.content["/home/pi/Configuration/current_time.txt"] = "08-10-13";
  };

  testing::Fakes byte_by_byte;
  prepare(byte_by_byte);
  byte_by_byte.script = stream;
  EXPECT_THROW(controller(config, byte_by_byte.platform), testing::StreamEnd);
  testing::Log expected;
  for (const std::string& event : byte_by_byte.log) {
    if (event != "poll" && event != "read" && event.rfind("open ", 0) != 0) {
      expected.push_back(event);
    }
  }

  Pipe pipe;
  for (int byte : stream) pipe.send(std::string(1, static_cast<char>(byte)));
  stream_fd = pipe.out.get();
  PipePorts ports(pipe.out.get());
  testing::Fakes blocks;
  prepare(blocks);
  Platform platform{ports, blocks, blocks, blocks, blocks, blocks, blocks, blocks, blocks.status};
  EXPECT_THROW(controller(config, platform), testing::StreamEnd);
  EXPECT_EQ(blocks.log, expected);
  EXPECT_EQ(std::count(blocks.log.begin(), blocks.log.end(), "list /media/pi"),
            static_cast<long>(stream.size()));
  EXPECT_TRUE(ports.unused.calls.empty());
}

}  // namespace
}  // namespace kestrel
