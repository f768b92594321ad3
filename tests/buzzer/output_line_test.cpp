#include "buzzer/output_line.h"

#include <gtest/gtest.h>
#include <linux/gpio.h>

#include <cerrno>

#include "tests/buzzer/fake_gpio.h"

namespace buzzer {
namespace {

using Chip = FakeGpio::Chip;

// Like the 40-pin header of a Raspberry Pi 5: the named lines on a later chip.
std::vector<Chip> pi_like_chips() {
  return {
      {"/dev/gpiochip0", {"", "GPIO1", "RP1_PCIE_CLKREQ_N"}, 0, {}},
      {"/dev/gpiochip4", {"GPIO0", "GPIO1", "GPIO17", "GPIO18", "GPIO19"}, 0, {}},
  };
}

Config config_for(const std::string& line, bool active_low = false) {
  Config config;
  config.line = line;
  config.active_low = active_low;
  return config;
}

// The GpioError that claiming the line throws.
GpioError claim_error(FakeGpio& gpio, const std::string& line) {
  try {
    OutputLine::claim(gpio, config_for(line), "test");
  } catch (const GpioError& error) {
    return error;
  }
  ADD_FAILURE() << "claimed " << line;
  return GpioError(0, "");
}

TEST(OutputLine, ClaimsTheNamedLineAsAnOutputDrivenSilent) {
  FakeGpio gpio(pi_like_chips());
  OutputLine line = OutputLine::claim(gpio, config_for("GPIO18"), "kestrel buzzer");
  ASSERT_EQ(gpio.claims.size(), 1u);
  const auto& claim = gpio.claims[0];
  EXPECT_EQ(claim.chip, "/dev/gpiochip4");
  EXPECT_EQ(claim.offset, 3u);
  EXPECT_EQ(claim.consumer, "kestrel buzzer");
  EXPECT_TRUE(claim.flags & GPIO_V2_LINE_FLAG_OUTPUT);
  EXPECT_FALSE(claim.flags & GPIO_V2_LINE_FLAG_INPUT);
  EXPECT_FALSE(claim.level);
}

TEST(OutputLine, MatchesTheWholeNameOnly) {
  FakeGpio gpio({{"/dev/gpiochip0", {"GPIO1", "GPIO18"}, 0, {}}});
  OutputLine::claim(gpio, config_for("GPIO1"), "test");
  EXPECT_EQ(gpio.claims.at(0).offset, 0u);
  EXPECT_EQ(claim_error(gpio, "GPIO").code, ENOENT);
}

// Physical level after the claim, after blow and after off.
struct Levels {
  bool active_low;
  bool claimed, blowing, silenced;
};

TEST(OutputLine, BlowAndOffDriveTheLineForEitherPolarity) {
  for (const Levels expected :
       {Levels{false, false, true, false}, Levels{true, true, false, true}}) {
    FakeGpio gpio(pi_like_chips());
    OutputLine line = OutputLine::claim(gpio, config_for("GPIO18", expected.active_low), "test");
    const bool& level = gpio.claims.at(0).level;
    EXPECT_EQ(level, expected.claimed) << "active_low " << expected.active_low;
    line.set(true);
    EXPECT_EQ(level, expected.blowing) << "active_low " << expected.active_low;
    line.set(true);
    EXPECT_EQ(level, expected.blowing) << "active_low " << expected.active_low;
    line.set(false);
    EXPECT_EQ(level, expected.silenced) << "active_low " << expected.active_low;
  }
}

TEST(OutputLine, AMissingLineIsNamedWithTheChipsSearched) {
  FakeGpio gpio(pi_like_chips());
  const GpioError error = claim_error(gpio, "GPIO27");
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_STREQ(error.what(), "GPIO line \"GPIO27\" not found on /dev/gpiochip0 /dev/gpiochip4");
}

TEST(OutputLine, NoChipAtAllIsSaidSo) {
  FakeGpio gpio({});
  const GpioError error = claim_error(gpio, "GPIO18");
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_STREQ(error.what(),
               "GPIO line \"GPIO18\" not found: there is no GPIO chip (/dev/gpiochip*)");
}

TEST(OutputLine, AChipThatCannotBeOpenedIsSkippedAndReported) {
  auto chips = pi_like_chips();
  chips[1].open_error = EACCES;
  FakeGpio gpio(chips);
  const GpioError error = claim_error(gpio, "GPIO18");
  EXPECT_EQ(error.code, EACCES);
  EXPECT_STREQ(error.what(),
               "GPIO line \"GPIO18\" not found on /dev/gpiochip0 /dev/gpiochip4 (Permission "
               "denied)");

  chips[0].open_error = EACCES;
  chips[1].open_error = 0;
  FakeGpio second(chips);
  OutputLine::claim(second, config_for("GPIO18"), "test");
  EXPECT_EQ(second.claims.at(0).chip, "/dev/gpiochip4");
}

TEST(OutputLine, ALineInUseCannotBeClaimed) {
  auto chips = pi_like_chips();
  chips[1].busy = {3};
  FakeGpio gpio(chips);
  const GpioError error = claim_error(gpio, "GPIO18");
  EXPECT_EQ(error.code, EBUSY);
  EXPECT_STREQ(error.what(),
               "GPIO line \"GPIO18\" (/dev/gpiochip4 line 3) cannot be claimed: Device or "
               "resource busy");
}

TEST(OutputLine, AFailedSetNamesTheLine) {
  FakeGpio gpio(pi_like_chips());
  OutputLine line = OutputLine::claim(gpio, config_for("GPIO18"), "test");
  gpio.set_error = EIO;
  try {
    line.set(true);
    ADD_FAILURE() << "set did not fail";
  } catch (const GpioError& error) {
    EXPECT_EQ(error.code, EIO);
    EXPECT_STREQ(error.what(), "GPIO line \"GPIO18\" cannot be set: Input/output error");
  }
}

}  // namespace
}  // namespace buzzer
