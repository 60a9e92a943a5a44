// The platform calls of the host and its services that tests replace, and the one way to replace
// them. Each is bound to the system's own function; the product calls it as it would call that
// function. A seam exists only where the test machine (Wine) cannot produce or show the outcome
// a test needs: everything else is tested against the real call.
//
// A test replaces a call for one scope, restored whichever way the scope ends (a failed
// assertion that returns early included):
//
//   const platform_seams::ScopedBinding bound(platform_seams::shellNotifyIcon, &RecordNotifyIcon);
//
// A fixture holds one as a member, declared before the objects that make the call, and names the
// function type there: ScopedBinding<NotifyIconFunction>.
//
// Each seam is defined beside the one product file that calls it, so a program links, and
// imports, only the system functions it uses. The kill switch's platform is not here: it is a
// whole interface of its own (killswitch/filtering_platform.h), tested through a model.
#ifndef ORVANE_HOST_PLATFORM_SEAMS_H_
#define ORVANE_HOST_PLATFORM_SEAMS_H_

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <type_traits>
#include <utility>

namespace platform_seams {

// A platform function the product calls through: the system's own unless a test bound another.
// Atomic so that a call from any thread sees a whole pointer; bindings are made by tests only.
template <typename Function>
class Seam {
 public:
  constexpr explicit Seam(Function system) noexcept : system_(system), bound_(system) {}
  Seam(const Seam&) = delete;
  Seam& operator=(const Seam&) = delete;

  template <typename... Arguments>
  decltype(auto) operator()(Arguments&&... arguments) const {
    return bound_.load()(std::forward<Arguments>(arguments)...);
  }

  // Whether the call now goes to the system itself, so that what it promises holds (such as the
  // same registered id for a name for the whole session, which may then be cached).
  bool CallsSystem() const noexcept { return bound_.load() == system_; }

 private:
  template <typename>
  friend class ScopedBinding;

  const Function system_;
  std::atomic<Function> bound_;
};

// Binds `replacement` to `seam` for the life of this object and then puts back what was bound
// before, so bindings nest.
template <typename Function>
class [[nodiscard]] ScopedBinding {
 public:
  ScopedBinding(Seam<Function>& seam, std::type_identity_t<Function> replacement) noexcept
      : seam_(seam), previous_(seam.bound_.exchange(replacement)) {}
  ~ScopedBinding() { seam_.bound_.store(previous_); }
  ScopedBinding(const ScopedBinding&) = delete;
  ScopedBinding& operator=(const ScopedBinding&) = delete;

 private:
  Seam<Function>& seam_;
  const Function previous_;
};

// ---- The seams -------------------------------------------------------------------------------

// Start-up's rights check (host/startup.cpp): under Wine every process is an administrator, so
// the check never says no.
using CheckTokenMembershipFunction = BOOL(WINAPI*)(HANDLE token, PSID sid, PBOOL is_member);
extern Seam<CheckTokenMembershipFunction> checkTokenMembership;

// Start-up's elevated relaunch, ShellExecuteW "runas" (host/startup.cpp): Wine's never asks, so
// it is never declined, and a real one would start a second host.
using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND owner, LPCWSTR verb, LPCWSTR file,
                                                LPCWSTR parameters, LPCWSTR directory,
                                                INT show_command);
extern Seam<ShellExecuteFunction> shellExecute;

// The title bar's colours, DwmSetWindowAttribute (host/win32_window.cpp): Wine's accepts every
// attribute and keeps none, so only a recorder can tell what was set.
using SetWindowAttributeFunction = HRESULT(WINAPI*)(HWND window, DWORD attribute, LPCVOID value,
                                                    DWORD value_size);
extern Seam<SetWindowAttributeFunction> dwmSetWindowAttribute;

// The host's registered messages, RegisterWindowMessageW (host/registered_messages.cpp): no real
// system can be made to refuse a registration.
using RegisterWindowMessageFunction = UINT(WINAPI*)(LPCWSTR name);
extern Seam<RegisterWindowMessageFunction> registerWindowMessage;

// The tray icon, Shell_NotifyIconW (bridge/tray_icon.cpp): Wine's notification area gives back
// nothing of what it was told, and its adds cannot be made to fail.
using NotifyIconFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);
extern Seam<NotifyIconFunction> shellNotifyIcon;

// The VPN core's end, CreateProcessW of taskkill (bridge/vpn_core_shutdown.cpp): Wine shows
// neither what a started process was given nor when it started, and its taskkill rejects the tree
// switch, so the command's own effect proves nothing there.
using CreateProcessFunction = BOOL(WINAPI*)(LPCWSTR application, LPWSTR command_line,
                                            LPSECURITY_ATTRIBUTES process_attributes,
                                            LPSECURITY_ATTRIBUTES thread_attributes,
                                            BOOL inherit_handles, DWORD creation_flags,
                                            LPVOID environment, LPCWSTR current_directory,
                                            LPSTARTUPINFOW startup_info,
                                            LPPROCESS_INFORMATION process_information);
extern Seam<CreateProcessFunction> createProcess;

// The installer launcher's ShellExecuteExW (bridge/installer_launcher.cpp): what the shell was
// asked cannot be read back from Wine, nor made to succeed without a process, as a file handed to
// a program already running does.
using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW* info);
extern Seam<ShellExecuteExFunction> shellExecuteEx;

}  // namespace platform_seams

#endif  // ORVANE_HOST_PLATFORM_SEAMS_H_
