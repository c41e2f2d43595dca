#include "foundation/text.h"

namespace rv {

namespace {

char UpperAscii(char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C; }

} // namespace

bool SameTextAscii(const std::string& A, const std::string& B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (UpperAscii(A[i]) != UpperAscii(B[i])) return false;
    return true;
}

} // namespace rv
