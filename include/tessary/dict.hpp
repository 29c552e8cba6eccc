// Shared declarations of Tessary.Ext.Dict: the attribute dictionary, base of
// the pagination module's Page.
#pragma once

#include "py.hpp"

namespace tsy::dict {

// DictPlus declares no fields of its own.
struct DictPlusObject {
    PyDictObject dict;
};

inline constexpr std::uint32_t DICT_API_VERSION = 1;
inline constexpr const char* DICT_CAPSULE = "Tessary.Ext.Dict._C_API";

struct DictApi {
    ApiHeader header;
    PyTypeObject* DictPlus;
};

inline const DictApi* import_dict_api() noexcept {
    return import_api<DictApi>(DICT_CAPSULE, DICT_API_VERSION);
}

}  // namespace tsy::dict
