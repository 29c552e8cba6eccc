// Placeholder: plan(), the Operations type (the `op` of migration files) and
// the statements of each step come here.
#include "internal.hpp"

namespace tsy::migrate {

int add_plan(PyObject*) noexcept { return 0; }

}  // namespace tsy::migrate
