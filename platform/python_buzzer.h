#pragma once

#include "platform/ports.h"
#include "platform/python_ref.h"

namespace kestrel {

// The buzzer through the module global `pin`, looked up at every call.
class PythonBuzzer : public Buzzer {
 public:
  explicit PythonBuzzer(PyObject* globals) : globals_(PyRef::borrow(globals)) {}
  void blow() override { call("buzzer_blow"); }
  void off() override { call("buzzer_off"); }

 private:
  void call(const char* method);
  PyRef globals_;
};

}  // namespace kestrel
