// U_Errors.h - the run-time errors the driver raises towards the host. Each
// carries the class name the host knows it by; the interface entries turn
// them into a structured exception (see entry/U_IDeviceDriverInterface.h).
#pragma once
#include <stdexcept>
#include <string>

class EHostError : public std::runtime_error {
public:
  EHostError(const char *className, const std::string &message)
      : std::runtime_error(message), className_(className) {}
  const char *ClassName() const { return className_; }

private:
  const char *className_;
};

// An operation that no class implements.
class EAbstractError : public EHostError {
public:
  EAbstractError() : EHostError("EAbstractError", "Abstract Error") {}
};

// A file of the driver that cannot be read or written.
class EInOutError : public EHostError {
public:
  EInOutError(const std::string &message, unsigned errorCode)
      : EHostError("EInOutError", message), ErrorCode(errorCode) {}
  unsigned ErrorCode;
};

// A block the driver cannot get (also what std::bad_alloc becomes at the boundary).
class EOutOfMemory : public EHostError {
public:
  EOutOfMemory() : EHostError("EOutOfMemory", "Out of memory") {}
};
