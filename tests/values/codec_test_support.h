// Small helpers shared by the codec tests: hex text to bytes and back, and tree equality.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "values/lua_value.h"

inline std::string Hex(const std::string& hex) {
    std::string bytes;
    unsigned value = 0;
    int digits = 0;
    for (char c : hex) {
        int nibble;
        if (c >= '0' && c <= '9') nibble = c - '0';
        else if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
        else continue;
        value = value * 16 + static_cast<unsigned>(nibble);
        if (++digits == 2) {
            bytes.push_back(static_cast<char>(value));
            value = 0;
            digits = 0;
        }
    }
    return bytes;
}

inline std::string Encode(const ZnLuaTE& value) {
    std::string bytes;
    value.appendEncoding(bytes);
    return bytes;
}

// Same kinds, same numbers and texts, same data bytes, same table entries in the same order.
inline bool SameTree(const ZnLuaTE& a, const ZnLuaTE& b) {
    if (a.type != b.type) return false;
    switch (a.type) {
        case kZnLuaNumber: {
            const double x = a.getNumber(), y = b.getNumber();
            return std::memcmp(&x, &y, sizeof x) == 0;
        }
        case kZnLuaString:
            return a.getString() == b.getString();
        case kZnLuaData: {
            const auto& da = static_cast<const ZnLuaTEData&>(a);
            const auto& db = static_cast<const ZnLuaTEData&>(b);
            return da.size() == db.size() && std::memcmp(da.bytes(), db.bytes(), da.size()) == 0;
        }
        case kZnLuaTable: {
            const auto& ta = static_cast<const ZnLuaTETable&>(a);
            const auto& tb = static_cast<const ZnLuaTETable&>(b);
            if (ta.count() != tb.count()) return false;
            auto j = tb.begin();
            for (auto i = ta.begin(); i != ta.end(); ++i, ++j) {
                if (!SameTree(*i->first, *j->first) || !SameTree(*i->second, *j->second))
                    return false;
            }
            return true;
        }
        default:
            return true;
    }
}
