// Typed packing of values into the active PVM send buffer and out of the active
// receive buffer, for single values, arrays and container ranges.
//
// There is one implementation of every transfer; what it does when PVM reports an
// error is its parameter. The overloads in the global namespace stop the program on
// an error; those in namespace Unchecked hand PVM's result back and do nothing else.
#pragma once

#include <pvm3.h>

#include <algorithm>
#include <iterator>
#include <type_traits>

// What a typed pack or unpack does when PVM reports an error.
enum class PvmErrorAction {
    ReturnResult,  // hand PVM's (negative) result back to the caller
    LeaveAndExit,  // report it, leave PVM and end the process through error
};

// Returns result unchanged. For LeaveAndExit and a negative result it prints callText
// through pvm_perror, leaves PVM and ends the process through error with an empty
// message, this file's name and line.
int CheckPvmResult(int result, const char* callText, PvmErrorAction action, int line);

// A typed PVM pack or unpack routine and the text that reports its failure.
template <typename T>
struct PvmRoutine {
    int (*call)(T*, int, int);
    const char* callText;
};

// The pack and unpack routines of the element types PVM knows; undefined for others.
template <typename T>
struct PvmRoutines;
template <>
struct PvmRoutines<int> {
    static constexpr PvmRoutine<int> pack{pvm_pkint, " calling pvm_pkint"};
    static constexpr PvmRoutine<int> unpack{pvm_upkint, " calling pvm_upkint"};
};
// PVM's default (XDR) encoding carries a long in 32 bits, and its decoder does not
// restore the sign. These wrappers of pvm_pklong / pvm_upklong / pvm_pkulong refuse, in
// such a buffer, values that do not fit (PvmOverflow) instead of cutting them, and
// sign-extend what they unpack; buffers of other encodings pass unchanged.
int PackLongs(long* p, int nitem, int stride);
int UnpackLongs(long* p, int nitem, int stride);
int PackUnsignedLongs(unsigned long* p, int nitem, int stride);
template <>
struct PvmRoutines<long> {
    static constexpr PvmRoutine<long> pack{PackLongs, " calling pvm_pklong"};
    static constexpr PvmRoutine<long> unpack{UnpackLongs, " calling pvm_upklong"};
};
template <>
struct PvmRoutines<short> {
    static constexpr PvmRoutine<short> pack{pvm_pkshort, " calling pvm_pkshort"};
    static constexpr PvmRoutine<short> unpack{pvm_upkshort, " calling pvm_upkshort"};
};
template <>
struct PvmRoutines<char> {
    static constexpr PvmRoutine<char> pack{pvm_pkbyte, " calling pvm_pkbyte"};
    static constexpr PvmRoutine<char> unpack{pvm_upkbyte, " calling pvm_upkbyte"};
};
template <>
struct PvmRoutines<double> {
    static constexpr PvmRoutine<double> pack{pvm_pkdouble, " calling pvm_pkdouble"};
    static constexpr PvmRoutine<double> unpack{pvm_upkdouble, " calling pvm_upkdouble"};
};
template <>
struct PvmRoutines<float> {
    static constexpr PvmRoutine<float> pack{pvm_pkfloat, " calling pvm_pkfloat"};
    static constexpr PvmRoutine<float> unpack{pvm_upkfloat, " calling pvm_upkfloat"};
};
template <>
struct PvmRoutines<unsigned int> {
    static constexpr PvmRoutine<unsigned int> pack{pvm_pkuint, " calling pvm_pkuint"};
    static constexpr PvmRoutine<unsigned int> unpack{pvm_upkuint, " calling pvm_upkuint"};
};
template <>
struct PvmRoutines<unsigned short> {
    static constexpr PvmRoutine<unsigned short> pack{pvm_pkushort, " calling pvm_pkushort"};
    static constexpr PvmRoutine<unsigned short> unpack{pvm_upkushort, " calling pvm_upkushort"};
};
template <>
struct PvmRoutines<unsigned long> {
    static constexpr PvmRoutine<unsigned long> pack{PackUnsignedLongs, " calling pvm_pkulong"};
    static constexpr PvmRoutine<unsigned long> unpack{pvm_upkulong, " calling pvm_upkulong"};
};

// True for the element types that PvmRoutines knows.
template <typename T, typename = void>
struct IsPvmElement : std::false_type {};
template <typename T>
struct IsPvmElement<T, std::void_t<decltype(PvmRoutines<T>::pack)>> : std::true_type {};

// Runs routine over nitem values from p, stride apart.
template <typename T>
int PvmTransfer(const PvmRoutine<T>& routine, T* p, int nitem, int stride, PvmErrorAction action) {
    return CheckPvmResult(routine.call(p, nitem, stride), routine.callText, action, __LINE__);
}

// pvm_packf / pvm_unpackf with format as the whole format and no further arguments.
int PvmPackFormat(const char* format, PvmErrorAction action);
int PvmUnpackFormat(const char* format, PvmErrorAction action);
// pvm_pkstr / pvm_upkstr of one null-terminated string.
int PvmPackString(char* text, PvmErrorAction action);
int PvmUnpackString(char* text, PvmErrorAction action);

// Checked overloads: nbrItems consecutive values from p; a PVM error ends the process.
template <typename T, typename = std::enable_if_t<IsPvmElement<T>::value>>
void pvm_pack(T* p, int nbrItems) {
    PvmTransfer(PvmRoutines<T>::pack, p, nbrItems, 1, PvmErrorAction::LeaveAndExit);
}
template <typename T, typename = std::enable_if_t<IsPvmElement<T>::value>>
void pvm_unpack(T* p, int nbrItems) {
    PvmTransfer(PvmRoutines<T>::unpack, p, nbrItems, 1, PvmErrorAction::LeaveAndExit);
}
inline void pvm_pack(const char* format) { PvmPackFormat(format, PvmErrorAction::LeaveAndExit); }
inline void pvm_unpack(const char* format) { PvmUnpackFormat(format, PvmErrorAction::LeaveAndExit); }
inline void pvm_pack(char* text) { PvmPackString(text, PvmErrorAction::LeaveAndExit); }
inline void pvm_unpack(char* text) { PvmUnpackString(text, PvmErrorAction::LeaveAndExit); }

// Elements a container range moves through its local buffer per PVM call.
constexpr int kRangeChunkItems = 4096;

// Packs the nbrItems container elements from p. The elements go through a local buffer
// a chunk at a time, so the message holds exactly what one typed pack of the whole run
// would write, at the cost of a few calls instead of one per element.
template <typename Iterator>
void pvm_pack(Iterator p, int nbrItems) {
    using Value = std::remove_cv_t<typename std::iterator_traits<Iterator>::value_type>;
    static_assert(IsPvmElement<Value>::value, "PVM cannot pack this element type");
    Value chunk[kRangeChunkItems];
    for (int done = 0; done < nbrItems;) {
        const int count = std::min(kRangeChunkItems, nbrItems - done);
        for (int i = 0; i < count; ++i, ++p) chunk[i] = *p;
        pvm_pack(chunk, count);
        done += count;
    }
}

// Unpacks nbrItems elements of the active receive buffer into the range from p.
template <typename Iterator>
void pvm_unpack(Iterator p, int nbrItems) {
    using Value = typename std::iterator_traits<Iterator>::value_type;
    static_assert(IsPvmElement<Value>::value, "PVM cannot unpack this element type");
    Value chunk[kRangeChunkItems];
    for (int done = 0; done < nbrItems;) {
        const int count = std::min(kRangeChunkItems, nbrItems - done);
        pvm_unpack(chunk, count);
        p = std::copy(chunk, chunk + count, p);
        done += count;
    }
}

// Thin overloads: the same transfers with a stride; PVM's result is returned and
// nothing else is done about an error.
namespace Unchecked {
template <typename T, typename = std::enable_if_t<IsPvmElement<T>::value>>
int pvm_pack(T* p, int nitem, int stride) {
    return PvmTransfer(PvmRoutines<T>::pack, p, nitem, stride, PvmErrorAction::ReturnResult);
}
template <typename T, typename = std::enable_if_t<IsPvmElement<T>::value>>
int pvm_unpack(T* p, int nitem, int stride) {
    return PvmTransfer(PvmRoutines<T>::unpack, p, nitem, stride, PvmErrorAction::ReturnResult);
}
inline int pvm_pack(const char* format) { return PvmPackFormat(format, PvmErrorAction::ReturnResult); }
inline int pvm_unpack(const char* format) { return PvmUnpackFormat(format, PvmErrorAction::ReturnResult); }
inline int pvm_pack(char* text) { return PvmPackString(text, PvmErrorAction::ReturnResult); }
inline int pvm_unpack(char* text) { return PvmUnpackString(text, PvmErrorAction::ReturnResult); }
}  // namespace Unchecked
