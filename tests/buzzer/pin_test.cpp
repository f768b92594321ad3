// The module's `pin` through its real Python methods, over a fake GPIO kernel
// and the embedded interpreter.
#include "buzzer/pin.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/python_errors.h"
#include "tests/buzzer/fake_gpio.h"
#include "tests/support/embedded_python.h"

namespace buzzer {
namespace {

using kestrel::PyRef;
using kestrel::testing::take_exception;

class PinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kestrel::testing::ensure_interpreter();
    module_ = PyRef(PyModule_New("buzzer"));
    ASSERT_NE(module_.get(), nullptr);
  }

  // The module's exec step: 0, or -1 with the Python exception set.
  int load(const Config& config) {
    return kestrel::guarded([&] { add_pin(module_.get(), gpio_, config); });
  }

  // pin.METHOD() as "None" or "ExceptionType: message".
  std::string call(PyObject* pin, const char* method) {
    PyRef result(PyObject_CallMethod(pin, method, nullptr));
    if (result.get() == nullptr) return take_exception();
    return result.get() == Py_None ? "None" : "not None";
  }
  std::string call(const char* method) { return call(pin().get(), method); }

  PyRef pin() { return PyRef(PyObject_GetAttrString(module_.get(), "pin")); }
  bool level() const { return gpio_.claims.at(0).level; }

  FakeGpio gpio_{{{"/dev/gpiochip0", {"GPIO17", "GPIO18"}, 0, {}}}};
  PyRef module_;
};

TEST_F(PinTest, TheImportClaimsTheLineSilentAndExportsOnlyPin) {
  ASSERT_EQ(load(Config{}), 0) << take_exception();
  ASSERT_EQ(gpio_.claims.size(), 1u);
  EXPECT_EQ(gpio_.claims[0].offset, 1u);
  EXPECT_EQ(gpio_.claims[0].consumer, "kestrel buzzer");
  EXPECT_FALSE(level());
  PyRef all(PyObject_GetAttrString(module_.get(), "__all__"));
  PyRef expected(Py_BuildValue("[s]", "pin"));
  EXPECT_EQ(PyObject_RichCompareBool(all.get(), expected.get(), Py_EQ), 1);
}

TEST_F(PinTest, BlowAndOffDriveTheLineEvenWhenActiveLow) {
  Config active_low;
  active_low.active_low = true;
  ASSERT_EQ(load(active_low), 0) << take_exception();
  EXPECT_TRUE(level()) << "an active-low buzzer is silent while the line is high";
  EXPECT_EQ(call("buzzer_blow"), "None");
  EXPECT_FALSE(level());
  EXPECT_EQ(call("buzzer_blow"), "None");
  EXPECT_FALSE(level());
  EXPECT_EQ(call("buzzer_off"), "None");
  EXPECT_TRUE(level());
}

TEST_F(PinTest, AFailedSetRaisesTheOsErrorOfItsErrno) {
  ASSERT_EQ(load(Config{}), 0) << take_exception();
  gpio_.set_error = EIO;
  EXPECT_EQ(call("buzzer_blow"),
            "OSError: [Errno 5] GPIO line \"GPIO18\" cannot be set: Input/output error");
  gpio_.set_error = 0;
  EXPECT_EQ(call("buzzer_off"), "None");
}

TEST_F(PinTest, AMissingLineFailsTheImportWithFileNotFoundError) {
  Config config;
  config.line = "GPIO27";
  EXPECT_EQ(load(config), -1);
  EXPECT_EQ(take_exception(),
            "FileNotFoundError: [Errno 2] GPIO line \"GPIO27\" not found on /dev/gpiochip0");
  PyRef pin(PyObject_GetAttrString(module_.get(), "pin"));
  EXPECT_EQ(pin.get(), nullptr);
  take_exception();
}

TEST_F(PinTest, APinMadeByHandDrivesNothing) {
  ASSERT_EQ(load(Config{}), 0) << take_exception();
  PyRef type(PyObject_Type(pin().get()));
  PyRef made(PyObject_CallObject(type.get(), nullptr));
  ASSERT_NE(made.get(), nullptr) << take_exception();
  EXPECT_EQ(call(made.get(), "buzzer_blow"),
            "RuntimeError: this pin drives no GPIO line; use buzzer.pin");
  EXPECT_TRUE(gpio_.claims.size() == 1 && !level());
}

}  // namespace
}  // namespace buzzer
