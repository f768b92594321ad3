// The status line `systemctl status kestrel` shows, and how it reaches
// systemd.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "fakes.h"
#include "platform/fd.h"
#include "platform/run_status.h"
#include "platform/status_report.h"
#include "platform/systemd_notify.h"
#include "startup/controller.h"
#include "support.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

RunStatus a_run() {
  RunStatus status;
  status.started = LocalTime{2026, 12, 7, 8, 0, 5};
  status.frames = 1520;
  status.detections = 12;
  status.last_detection = LocalTime{2026, 12, 7, 9, 4, 2};
  return status;
}

TEST(StatusLine, SaysWhatTheRunHasDone) {
  EXPECT_EQ(status_line(RunStatus{}, 0s),
            "starting; 0 frames, 0 detections; radar sending; no export yet");
  EXPECT_EQ(status_line(a_run(), 0s),
            "running since 07-12-2026 08:00:05; 1520 frames, 12 detections, last at 09:04:02; "
            "radar sending; no export yet");
  RunStatus one = a_run();
  one.frames = one.detections = 1;
  one.export_state = "export to /media/pi/STICK: 1 tagsheet copied";
  one.card_failure = "the card takes no more records";
  EXPECT_EQ(status_line(one, 0s),
            "running since 07-12-2026 08:00:05; 1 frame, 1 detection, last at 09:04:02; "
            "radar sending; export to /media/pi/STICK: 1 tagsheet copied; "
            "the card takes no more records");
}

TEST(StatusLine, TheRadarsSilenceInUnitsThatFitIt) {
  struct Case {
    std::chrono::seconds silence;
    const char* text;
  };
  for (const Case& c : {Case{1s, "radar sending"}, Case{2s, "radar silent for 2 s"},
                        Case{59s, "radar silent for 59 s"}, Case{60s, "radar silent for 1 min"},
                        Case{3599s, "radar silent for 59 min"},
                        Case{3h + 20min + 59s, "radar silent for 3 h 20 min"},
                        Case{24h * 9 + 4h, "radar silent for 9 d 4 h"}}) {
    const std::string line = status_line(RunStatus{}, c.silence);
    EXPECT_NE(line.find(std::string("; ") + c.text + ";"), std::string::npos) << line;
  }
}

// A datagram socket where systemd's would be; the messages it received.
struct ServiceManager {
  TempDir dir;
  std::string path = dir / "notify";
  Fd socket{::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0)};
  ServiceManager() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  std::vector<std::string> received() {
    std::vector<std::string> messages;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) {
      messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return messages;
  }
};

TEST(SystemdNotify, OnlyToASocketThatIsNamed) {
  ServiceManager manager;
  const SystemdNotify systemd(manager.path.c_str());
  EXPECT_TRUE(systemd.active());
  systemd.send("STATUS=hello");
  EXPECT_EQ(manager.received(), std::vector<std::string>{"STATUS=hello"});
  for (const char* none : {static_cast<const char*>(nullptr), "", "relative/notify"}) {
    EXPECT_FALSE(SystemdNotify(none).active()) << (none ? none : "null");
  }
  // A manager that is gone costs a failed send, no failure.
  const SystemdNotify gone((manager.dir / "gone").c_str());
  gone.send("STATUS=nobody");
}

TEST(SystemdNotify, AnAbstractSocket) {
  const std::string name = "kestrel-test-" + std::to_string(::getpid());
  Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);
  const std::string at_name = "@" + name;
  SystemdNotify(at_name.c_str()).send("STATUS=abstract");
  char buffer[64];
  const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "STATUS=abstract");
}

TEST(StatusReport, AtMostEveryFiveSecondsAndOnlyWhatChanged) {
  ServiceManager manager;
  const SystemdNotify systemd(manager.path.c_str());
  auto now = StatusReport::Clock::now();
  StickWatch radar("", [&] { return now; });
  RunStatus status;
  StatusReport report(status, radar, systemd, [&] { return now; });

  EXPECT_EQ(report.run_due(), 5000);
  EXPECT_EQ(manager.received(),
            std::vector<std::string>{
                "STATUS=starting; 0 frames, 0 detections; radar sending; no export yet"});
  radar.heard();
  status.frames = 3;
  now += 4s;
  EXPECT_EQ(report.run_due(), 1000);
  EXPECT_TRUE(manager.received().empty()) << "not before its time";
  now += 1s;
  EXPECT_EQ(report.run_due(), 5000);
  EXPECT_EQ(manager.received(),
            std::vector<std::string>{
                "STATUS=starting; 3 frames, 0 detections; radar sending; no export yet"});
  now += 1s;
  report.send_now();
  EXPECT_TRUE(manager.received().empty()) << "the same line again";
  status.export_state = "exporting to /media/pi/STICK";
  report.send_now();
  EXPECT_EQ(manager.received(),
            std::vector<std::string>{"STATUS=starting; 3 frames, 0 detections; radar sending; "
                                     "exporting to /media/pi/STICK"});
}

TEST(StatusReport, NothingWithoutAServiceManager) {
  const SystemdNotify none(nullptr);
  RunStatus status;
  StatusReport report(status, no_stick_watch(), none);
  EXPECT_EQ(report.run_due(), -1);
}

// The figures the controller keeps as the run goes.
TEST(StatusFigures, StartFramesDetectionsAndTheExport) {
  const std::vector<int> frame300 = {0xAA, 0xAA, 0x0C, 0x07, 0x00, 0x00, 0x01,
                                     0x2C, 0x00, 0x02, 0xBC, 0x00, 0x55};
  testing::Fakes fakes;
  fakes.content["/home/pi/Configuration/current_time.txt"] = " ";
  fakes.readings = {{2026, 12, 7, 8, 0, 5}, {2026, 12, 7, 8, 1, 9}};
  fakes.script = frame300;
  // The same frame again, then one at 1.00, out of the window, then the stick.
  fakes.script.insert(fakes.script.end(), {0x55, 0x0C, 0x07, 0x00, 0x00, 0x00, 0x64, 0x00, 0x02,
                                           0xBC, 0x00, 0x55, 0x01});
  fakes.media = {{25, {"STICK"}}};
  const Config config{3.5, 2.5, " ", "SN\n"};
  EXPECT_THROW(controller(config, fakes.platform), testing::StreamEnd);
  ASSERT_TRUE(fakes.status.started && fakes.status.last_detection);
  EXPECT_EQ(fakes.status.started->minute, 0);
  EXPECT_EQ(fakes.status.last_detection->minute, 1);
  EXPECT_EQ(fakes.status.frames, 3);
  EXPECT_EQ(fakes.status.detections, 2);
  EXPECT_EQ(fakes.status.export_state, "export to /media/pi/STICK: 1 tagsheet copied");
  EXPECT_EQ(fakes.status.card_failure, "");
}

}  // namespace
}  // namespace kestrel
