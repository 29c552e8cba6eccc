// Placeholder: the schema types, inspect() and modelSchema() come here.
#include "internal.hpp"

namespace tsy::migrate {

int add_inspect(PyObject*) noexcept { return 0; }

}  // namespace tsy::migrate
