#include <zel/import/landlock_abi.h>

#include <sys/syscall.h>
#include <unistd.h>

namespace zel::import {

int landlockAbi() {
#ifdef SYS_landlock_create_ruleset
    constexpr unsigned createRulesetVersion = 1u << 0;
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, createRulesetVersion);
    return abi > 0 ? static_cast<int>(abi) : 0;
#else
    return 0;
#endif
}

} // namespace zel::import
