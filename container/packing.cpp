#include "container/packing.h"

#include "probe/standardlib.h"

#include <cstdint>
#include <limits>

// PVM's error code of the last call, which pvm_perror reports.
extern "C" int pvm_errno;

namespace {
// The name under which a failed transfer reports where it failed.
constexpr const char* kThisFile = "packing";

// The encoding that pvm_getminfo reports for a PvmDataDefault (XDR) buffer.
constexpr int kXdrEncoding = 0x10000000;

bool IsXdrBuffer(int buffer) {
    pvmminfo info;
    return pvm_getminfo(buffer, &info) >= 0 && info.enc == kXdrEncoding;
}

// Whether the nitem values from p, stride apart, all fit in a Wire.
template <typename Wire, typename T>
bool FitIn(const T* p, int nitem, int stride) {
    for (int i = 0; i < nitem; ++i) {
        const T value = p[static_cast<long>(i) * stride];
        if (value < std::numeric_limits<Wire>::min() || value > std::numeric_limits<Wire>::max()) return false;
    }
    return true;
}

// Packs with pack unless the send buffer is XDR and a value does not fit in a Wire.
template <typename Wire, typename T>
int PackNarrowed(int (*pack)(T*, int, int), T* p, int nitem, int stride) {
    if (IsXdrBuffer(pvm_getsbuf()) && !FitIn<Wire>(p, nitem, stride)) {
        pvm_errno = PvmOverflow;
        return PvmOverflow;
    }
    return pack(p, nitem, stride);
}
}  // namespace

int PackLongs(long* p, int nitem, int stride) { return PackNarrowed<std::int32_t>(pvm_pklong, p, nitem, stride); }

int PackUnsignedLongs(unsigned long* p, int nitem, int stride) {
    return PackNarrowed<std::uint32_t>(pvm_pkulong, p, nitem, stride);
}

int UnpackLongs(long* p, int nitem, int stride) {
    const int result = pvm_upklong(p, nitem, stride);
    if (result >= 0 && IsXdrBuffer(pvm_getrbuf()))
        for (int i = 0; i < nitem; ++i) {
            long& value = p[static_cast<long>(i) * stride];
            value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        }
    return result;
}

int CheckPvmResult(int result, const char* callText, PvmErrorAction action, int line) {
    if (result < 0 && action == PvmErrorAction::LeaveAndExit) {
        pvm_perror(const_cast<char*>(callText));
        pvm_exit();
        error("", kThisFile, line);
    }
    return result;
}

int PvmPackFormat(const char* format, PvmErrorAction action) {
    return CheckPvmResult(pvm_packf(format), " calling pvm_packf", action, __LINE__);
}

int PvmUnpackFormat(const char* format, PvmErrorAction action) {
    return CheckPvmResult(pvm_unpackf(format), " calling pvm_unpackf", action, __LINE__);
}

int PvmPackString(char* text, PvmErrorAction action) {
    return CheckPvmResult(pvm_pkstr(text), " calling pvm_pkstr", action, __LINE__);
}

int PvmUnpackString(char* text, PvmErrorAction action) {
    return CheckPvmResult(pvm_upkstr(text), " calling pvm_upkstr", action, __LINE__);
}
