// The settings the call handling reads, taken as they stand at each use (the
// settings dialog may change them while the link runs).
#pragma once

#include <string>

namespace pbx {

struct CallSettings {
    int pbxType = 2;
    bool usePctiClip = false;
    bool insertIncomingForRingGroup = false;
    bool useVoiceMailPcti = false;
    bool useSms = false;
    std::string miedzy;
    std::string prefiksMiedzynarodowy;
    std::string redialMacro;
    std::string holdMacro;
    int countryNumberLength = 9;
};

} // namespace pbx
