#pragma once
// Controlling installed services from a program (the service control manager's
// client side). Linux: systemd units "<NAME>.service" through systemctl.
// Errors are Win32 numbers in sys::LastError(): ERROR_SERVICE_DOES_NOT_EXIST
// for a service that is not installed. Each failure also leaves its cause in
// words a user understands (ServiceFailureCause).
#include <cstdint>
#include <memory>
#include <string>

namespace sys {

enum class ServiceState { Stopped, StartPending, StopPending, Running, Other };

class ServiceManager {
 public:
  ServiceManager();
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Connects to the local manager with full access.
  bool Open();
  bool IsOpen() const;

  struct Impl;
  Impl* impl() const { return m_impl.get(); }

 private:
  std::unique_ptr<Impl> m_impl;
};

class Service {
 public:
  Service();
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Opens the named service with full access (0xF003F).
  bool Open(ServiceManager& manager, const std::wstring& name);
  bool IsOpen() const;
  bool QueryState(ServiceState& state);
  // Sends the stop control and returns without waiting for the stop.
  bool SendStop();
  // Starts the service without arguments.
  bool Start();

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

// Why the last failed call of this thread failed, as a sentence: systemd not
// running, the unit not installed, access refused, what a failed start left
// (Windows: the system's text for the error). Empty after a success.
std::wstring ServiceFailureCause();

}  // namespace sys
