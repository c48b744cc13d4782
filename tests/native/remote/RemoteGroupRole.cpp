// The roles the remote tests' children run.
#include "RemoteTestSupport.h"

int RunGroupRole(const std::string& role, const std::vector<std::string>& args) {
    return RunRemoteRole(role, args);
}
