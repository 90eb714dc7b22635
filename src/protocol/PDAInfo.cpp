#include "protocol/PDAInfo.h"

std::string TZelPDAInfo::LogText() const {
    return "sw[" + SWVersion + "] un[" + UserName + "] sn[" + SerialNumber + "] mo[" + Model + "] os[" +
           OperatingSystem + "] st[" + Software + "]";
}
