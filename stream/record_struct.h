#pragma once
// The byte codec of plain records (ssRecord elements). A struct bound with TRV_SmartStream::AddRecord(V) states
// its byte layout instead of relying on memory layout:
//
//   struct T_Example {
//       int32_t Left = 0;
//       bool Flag = false;
//       std::array<uint8_t, 3> Spare{};
//       static constexpr uint32_t RecordSize = 8;       // bytes on the wire
//       template <class C> void Fields(C& c) { c(Left); c(Flag); c(Spare); }
//   };
//
// Fields lists the members in byte order. A member may be an integer, enum, float, double, bool (one byte,
// 0 or 1), a std::array or C array of those, or another struct with Fields. Integers are little-endian.
// AddRecord checks that the listed members add up to RecordSize.
//
// Header-only; any thread.

#include "stream/little_endian.h"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace rv {

namespace detail {

template <class T>
struct IsStdArray : std::false_type {};
template <class E, size_t N>
struct IsStdArray<std::array<E, N>> : std::true_type {};

struct TRecordSizer {
    uint32_t Size = 0;
    template <class F>
    void operator()(F& f) {
        if constexpr (std::is_same_v<F, bool> || std::is_enum_v<F> || std::is_arithmetic_v<F>) {
            Size += sizeof(F);
        } else if constexpr (IsStdArray<F>::value || std::is_array_v<F>) {
            for (auto& e : f) (*this)(e);
        } else {
            f.Fields(*this);
        }
    }
};

struct TRecordEncoder {
    uint8_t* P;
    template <class F>
    void operator()(F& f) {
        if constexpr (std::is_same_v<F, bool>) {
            *P++ = f ? 1 : 0;
        } else if constexpr (std::is_enum_v<F>) {
            auto u = static_cast<std::underlying_type_t<F>>(f);
            (*this)(u);
        } else if constexpr (std::is_arithmetic_v<F>) {
            PutLE<F>(P, f);
            P += sizeof(F);
        } else if constexpr (IsStdArray<F>::value || std::is_array_v<F>) {
            for (auto& e : f) (*this)(e);
        } else {
            f.Fields(*this);
        }
    }
};

struct TRecordDecoder {
    const uint8_t* P;
    template <class F>
    void operator()(F& f) {
        if constexpr (std::is_same_v<F, bool>) {
            f = *P++ != 0;
        } else if constexpr (std::is_enum_v<F>) {
            std::underlying_type_t<F> u{};
            (*this)(u);
            f = static_cast<F>(u);
        } else if constexpr (std::is_arithmetic_v<F>) {
            f = GetLE<F>(P);
            P += sizeof(F);
        } else if constexpr (IsStdArray<F>::value || std::is_array_v<F>) {
            for (auto& e : f) (*this)(e);
        } else {
            f.Fields(*this);
        }
    }
};

} // namespace detail

template <class T>
concept SmartStreamRecordStruct = requires(T& v, detail::TRecordSizer& s, detail::TRecordEncoder& e,
                                           detail::TRecordDecoder& d) {
    { T::RecordSize } -> std::convertible_to<uint32_t>;
    v.Fields(s);
    v.Fields(e);
    v.Fields(d);
};

} // namespace rv
