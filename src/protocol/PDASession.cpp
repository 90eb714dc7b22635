#include "protocol/PDASession.h"

std::string TZelPDASession::LogText() const {
    return "sn[" + std::to_string(SessionNumber) + "] pt[" + PluginName + "] pv[" + PluginVersion + "] sn[" +
           SessionName + "]";
}
