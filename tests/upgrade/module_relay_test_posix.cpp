// The relay of module instances keeps a module only until it is forgotten,
// so that a station relaying upgrades for months does not grow with them.
#include <gtest/gtest.h>

#include <string>

#include "heap_in_use_posix.h"
#include "upgrade/module_relay.h"

namespace {

TEST(ModuleRelay, KeepsNothingOfTheModulesItHasForgotten) {
  cModuleRelay relay(nullptr, 0);
  size_t instance = 0;
  const auto passThrough = [&](size_t count) {
    for (size_t i = 0; i < count; ++i, ++instance) {
      relay.Add(L"/dev/ttyUSB" + std::to_wstring(instance) + L"-a-port-name-past-the-short-string-size");
      relay.Forget(instance);
    }
  };
  passThrough(100);  // the relay's tables at their size for one module at a time
  const long long before = HeapInUse();
  passThrough(4000);
  EXPECT_LT(HeapInUse() - before, 1024);
}

}  // namespace
