// ModemManager's inhibition over the system bus, with the few sd-bus calls
// it needs declared here and looked up in libsystemd.so.0 at run time: no
// build needs libsystemd's headers or links against it, and a host without it
// runs as before. A static build loads nothing (a statically linked C library
// cannot safely load a shared one).
#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "host/modem_manager.h"
#include "host/native_fs_posix.h"
#include "text/printable_text.h"

namespace host {
namespace {

constexpr const char* kLibrary = "libsystemd.so.0";
constexpr const char* kService = "org.freedesktop.ModemManager1";
constexpr const char* kManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
// Each call's wait: a ModemManager that does not answer must not hold up the
// upgrade, and one that does answers in milliseconds.
constexpr uint64_t kCallTimeoutUs = 2'000'000;

// sd-bus's own types, as its interface declares them.
struct sd_bus;
struct sd_bus_message;
struct sSdBusError {
  const char* name;
  const char* message;
  int needFree;
};

struct sSdBus {
  int (*openSystem)(sd_bus**);
  int (*setMethodCallTimeout)(sd_bus*, uint64_t);
  int (*callMethod)(sd_bus*, const char*, const char*, const char*, const char*, sSdBusError*, sd_bus_message**,
                    const char*, ...);
  int (*read)(sd_bus_message*, const char*, ...);
  int (*enterContainer)(sd_bus_message*, char, const char*);
  int (*exitContainer)(sd_bus_message*);
  int (*skip)(sd_bus_message*, const char*);
  sd_bus_message* (*unrefMessage)(sd_bus_message*);
  void (*freeError)(sSdBusError*);
  sd_bus* (*flushCloseUnref)(sd_bus*);
};

// The library's functions, or why they cannot be had.
struct sLoadedSdBus {
  sSdBus functions{};
  std::wstring missing;
};

#ifdef ZNTV_STATIC_PROGRAMS
sLoadedSdBus OpenSdBus() { return {{}, L"static build"}; }
#else
template <class Function>
bool Find(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

bool FindAll(void* library, sSdBus& functions) {
  return Find(library, "sd_bus_open_system", functions.openSystem) &&
         Find(library, "sd_bus_set_method_call_timeout", functions.setMethodCallTimeout) &&
         Find(library, "sd_bus_call_method", functions.callMethod) &&
         Find(library, "sd_bus_message_read", functions.read) &&
         Find(library, "sd_bus_message_enter_container", functions.enterContainer) &&
         Find(library, "sd_bus_message_exit_container", functions.exitContainer) &&
         Find(library, "sd_bus_message_skip", functions.skip) &&
         Find(library, "sd_bus_message_unref", functions.unrefMessage) &&
         Find(library, "sd_bus_error_free", functions.freeError) &&
         Find(library, "sd_bus_flush_close_unref", functions.flushCloseUnref);
}

// The library stays loaded for the rest of the run.
sLoadedSdBus OpenSdBus() {
  sLoadedSdBus loaded;
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    loaded.missing = L"no " + FromNativePath(kLibrary);
  } else if (!FindAll(library, loaded.functions)) {
    loaded.missing = FromNativePath(kLibrary) + L" without the sd-bus calls needed";
  }
  return loaded;
}
#endif

// The functions, looked up once; null when they cannot be had, with why.
const sSdBus* LoadSdBus(std::wstring& why) {
  static const sLoadedSdBus loaded = OpenSdBus();
  why = loaded.missing;
  return loaded.missing.empty() ? &loaded.functions : nullptr;
}

// A reply, released when it goes.
class cReply {
 public:
  explicit cReply(const sSdBus& bus) : bus_(bus) {}
  ~cReply() {
    if (message_ != nullptr) bus_.unrefMessage(message_);
  }
  cReply(const cReply&) = delete;
  cReply& operator=(const cReply&) = delete;
  sd_bus_message** Out() { return &message_; }
  sd_bus_message* Get() const { return message_; }

 private:
  const sSdBus& bus_;
  sd_bus_message* message_ = nullptr;
};

// A failed call's error, in words (the answering program's own, shown
// escaped).
class cCallError {
 public:
  explicit cCallError(const sSdBus& bus) : bus_(bus) {}
  ~cCallError() { bus_.freeError(&error_); }
  cCallError(const cCallError&) = delete;
  cCallError& operator=(const cCallError&) = delete;
  sSdBusError* Out() { return &error_; }
  std::wstring Text(int result) const {
    if (error_.name == nullptr) return FromNativePath(std::strerror(-result));
    const std::string message = error_.message != nullptr ? std::string(": ") + error_.message : std::string();
    return text::PrintableText(FromNativePath(error_.name + message));
  }

 private:
  const sSdBus& bus_;
  sSdBusError error_{};
};

// Calls visit once inside each entry of the dictionary at the reply's
// position (an array of entries of the given contents), which visit reads
// whole.
template <class Visit>
void ForEachEntry(const sSdBus& bus, sd_bus_message* reply, const std::string& entry, Visit visit) {
  if (bus.enterContainer(reply, 'a', ("{" + entry + "}").c_str()) <= 0) return;
  while (bus.enterContainer(reply, 'e', entry.c_str()) > 0) {
    visit();
    bus.exitContainer(reply);
  }
  bus.exitContainer(reply);
}

// The Device property of one modem's interface (a{sv}); empty without one.
std::string ReadModemDevice(const sSdBus& bus, sd_bus_message* reply) {
  std::string device;
  ForEachEntry(bus, reply, "sv", [&] {
    const char* name = nullptr;
    const char* value = nullptr;
    if (bus.read(reply, "s", &name) > 0 && std::strcmp(name, "Device") == 0 && bus.read(reply, "v", "s", &value) > 0) {
      device = value;
    } else {
      bus.skip(reply, "v");
    }
  });
  return device;
}

// True when one object's interfaces (a{sa{sv}}) are a modem whose Device is
// device.
bool IsModemOf(const sSdBus& bus, sd_bus_message* reply, const std::string& device) {
  bool found = false;
  ForEachEntry(bus, reply, "sa{sv}", [&] {
    const char* interface = nullptr;
    if (bus.read(reply, "s", &interface) > 0 && std::strcmp(interface, kModemInterface) == 0) {
      found = ReadModemDevice(bus, reply) == device || found;
    } else {
      bus.skip(reply, "a{sv}");
    }
  });
  return found;
}

// True when one of ModemManager's objects (GetManagedObjects' answer,
// a{oa{sa{sv}}}) is a modem whose Device is device.
bool ManagesDevice(const sSdBus& bus, sd_bus_message* reply, const std::string& device) {
  bool found = false;
  ForEachEntry(bus, reply, "oa{sa{sv}}", [&] {
    const char* path = nullptr;
    if (bus.read(reply, "o", &path) > 0) found = IsModemOf(bus, reply, device) || found;
  });
  return found;
}

}  // namespace

struct cModemManagerInhibition::sConnection {
  const sSdBus& bus;
  sd_bus* connection;
  std::string device;

  ~sConnection() { bus.flushCloseUnref(connection); }

  // InhibitDevice(device, inhibit); a note when it fails.
  bool SetInhibited(bool inhibit, const report::cReporter& reporter) const {
    cCallError error(bus);
    cReply reply(bus);
    const int result = bus.callMethod(connection, kService, kManagerPath, kService, "InhibitDevice", error.Out(),
                                      reply.Out(), "sb", device.c_str(), static_cast<int>(inhibit));
    if (result >= 0) return true;
    reporter.Note(L"zntv-upgrade: ModemManager could not %ls %ls (%ls); going on", inhibit ? L"inhibit" : L"uninhibit",
                  FromNativePath(device).c_str(), error.Text(result).c_str());
    return false;
  }

  // True when ModemManager owns its name on the bus; nothing is said when it
  // does not, as on most hosts.
  bool ServiceIsRunning() const {
    cCallError error(bus);
    cReply reply(bus);
    int owned = 0;
    return bus.callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameHasOwner", error.Out(), reply.Out(), "s", kService) >= 0 &&
           bus.read(reply.Get(), "b", &owned) > 0 && owned != 0;
  }

  // True when one of ModemManager's modems is the device; a note when it
  // cannot be asked.
  bool ManagesModule(const report::cReporter& reporter) const {
    cCallError error(bus);
    cReply reply(bus);
    const int result = bus.callMethod(connection, kService, kManagerPath, "org.freedesktop.DBus.ObjectManager",
                                      "GetManagedObjects", error.Out(), reply.Out(), "");
    if (result >= 0) return ManagesDevice(bus, reply.Get(), device);
    reporter.Note(L"zntv-upgrade: ModemManager's modems could not be listed (%ls); going on",
                  error.Text(result).c_str());
    return false;
  }
};

std::wstring ModemManagerInhibitionAvailability() {
  std::wstring why;
  return LoadSdBus(why) != nullptr ? L"available" : L"not available (" + why + L")";
}

cModemManagerInhibition::cModemManagerInhibition() = default;
cModemManagerInhibition::~cModemManagerInhibition() = default;

void cModemManagerInhibition::Inhibit(const std::wstring& usbDevice, const report::cReporter& reporter) {
  std::wstring why;
  const sSdBus* bus = LoadSdBus(why);
  sd_bus* connection = nullptr;
  if (bus == nullptr || usbDevice.empty() || bus->openSystem(&connection) < 0) return;
  // Made in place: a copy would close the connection as it went.
  std::unique_ptr<sConnection> opened(new sConnection{*bus, connection, ToNativePath(usbDevice)});
  bus->setMethodCallTimeout(connection, kCallTimeoutUs);
  if (opened->ServiceIsRunning() && opened->ManagesModule(reporter) && opened->SetInhibited(true, reporter)) {
    connection_ = std::move(opened);
  }
}

void cModemManagerInhibition::Release(const report::cReporter& reporter) {
  if (connection_) connection_->SetInhibited(false, reporter);
  connection_.reset();
}

}  // namespace host
