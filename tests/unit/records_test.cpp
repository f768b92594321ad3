#include "tagsheet/records.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "startup/controller.h"

namespace kestrel {
namespace {

using testing::Fakes;
using testing::idle;
using testing::StreamEnd;

const std::string sheet = "/home/pi/Configuration/Tagsheets/07-12-2026/Non-Tag-07-12-2026.txt";
const std::string last_seen = "/home/pi/Configuration/current_time.txt";

TEST(Records, HeaderWithoutSerialLineEndRowAndStopLine) {
  EXPECT_EQ(header("", "23-59-59", "SN"),
            "Equipment Stop Time:\n\n\nEquipment Start Time:23-59-59\nSerial No:SN\n"
            "    Date       Time     Distance of Object\n");
  EXPECT_EQ(row("08-12-2026", "00-00-01", "655.35"), "08-12-2026    00-00-01        655.35\n");
  EXPECT_EQ(stop_line(""), "\nEquipment Stop Time:");
}

// Two runs on one day: two detections (1.25 and 1.20), a stick ends run 1,
// then run 2 starts and its header continues the stop line.
TEST(Records, WorkedExampleOfTwoRunsByteForByte) {
  const Config config{5.0, 1.0, " ", "SN-0042\n"};
  Fakes run1;
  run1.content[last_seen] = " ";
  run1.readings = {{2026, 12, 7, 8, 0, 5}, {2026, 12, 7, 8, 10, 12}, {2026, 12, 7, 8, 10, 13}};
  run1.script = {0x0C, 0x07, 0, 0,    0x00, 0x7D, 0, 0, 0, 0,    0x55, 0x0C,
                 0x07, 0,    0, 0x00, 0x78, 0,    0, 0, 0, 0x55, idle, 0x00};
  run1.media = {{22, {"STICK"}}};
  EXPECT_THROW(controller(config, run1.platform), StreamEnd);
  EXPECT_EQ(run1.content[last_seen], " ");

  Fakes run2;
  run2.content = run1.content;
  run2.readings = {{2026, 12, 7, 8, 30, 0}};
  EXPECT_THROW(controller(config, run2.platform), StreamEnd);

  EXPECT_EQ(run2.content[sheet],
            "Equipment Stop Time: \n"
            "\n"
            "\n"
            "Equipment Start Time:08-00-05\n"
            "Serial No:SN-0042\n"
            "\n"
            "    Date       Time     Distance of Object\n"
            "07-12-2026    08-10-12        1.25\n"
            "07-12-2026    08-10-13        1.20\n"
            "\n"
            "Equipment Stop Time:08-10-13Equipment Stop Time: \n"
            "\n"
            "\n"
            "Equipment Start Time:08-30-00\n"
            "Serial No:SN-0042\n"
            "\n"
            "    Date       Time     Distance of Object\n");
}

}  // namespace
}  // namespace kestrel
