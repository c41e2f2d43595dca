#pragma once
// Little-endian encoding of fixed-width values, the byte order of every wire and file format of the program.
// Header-only; any thread.

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace rv {

// Copies the Size bytes of a host scalar at Src into Dest in little-endian order.
inline void StoreLittleEndian(void* Dest, const void* Src, size_t Size) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(Dest, Src, Size);
    } else {
        auto* d = static_cast<uint8_t*>(Dest);
        auto* s = static_cast<const uint8_t*>(Src);
        for (size_t i = 0; i < Size; ++i) d[i] = s[Size - 1 - i];
    }
}

// The reverse of StoreLittleEndian.
inline void LoadLittleEndian(void* Dest, const void* Src, size_t Size) { StoreLittleEndian(Dest, Src, Size); }

template <class T>
    requires std::is_arithmetic_v<T>
inline void PutLE(uint8_t* Dest, T Value) {
    StoreLittleEndian(Dest, &Value, sizeof(T));
}

template <class T>
    requires std::is_arithmetic_v<T>
inline T GetLE(const uint8_t* Src) {
    T v;
    LoadLittleEndian(&v, Src, sizeof(T));
    return v;
}

} // namespace rv
