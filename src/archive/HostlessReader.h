// The base of the readers whose formats store no host system or version
// (TAR, LZH/LHA, ARC): the four host texts are "UnKnown" for every entry
// number, answered without the number check.
#pragma once

#include "archive/ReaderBase.h"

#include <cstdint>
#include <string>

namespace velmora {

class HostlessReader : public ReaderBase {
public:
    using ReaderBase::ReaderBase;

    std::string SystemMadeBy(int32_t) override { return "UnKnown"; }
    std::string VersionMadeBy(int32_t) override { return "UnKnown"; }
    std::string SystemNeeded(int32_t) override { return "UnKnown"; }
    std::string VersionNeeded(int32_t) override { return "UnKnown"; }
};

} // namespace velmora
