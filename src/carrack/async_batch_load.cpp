// AsyncModelExecutor.findListForeignKeyIn: the batched loader of
// batch_load.hpp with each statement awaited in turn, and the coroutine
// executor's form of findForeignKey for attaching the rows.
#include "async.hpp"
#include "batch_load.hpp"

namespace tsy::exec::async {
namespace {

// The plan lives in the coroutine's frame; it holds no reference to the
// coroutine, so it makes no cycle the collector would have to see. The
// executor and the instances are parameters as well, for the collector to
// see what the frame keeps alive.
coro::Task batch_task([[maybe_unused]] Ref self, [[maybe_unused]] Ref instances, batch::PlanPtr plan) {
    for (;;) {
        Ref run;
        int more = batch::next_statement(*plan, &run);
        if (more < 0) co_return nullptr;
        if (more == 0) break;
        Ref rows = co_await coro::await(std::move(run));
        if (!rows || !batch::take_rows(*plan, rows.get())) co_return nullptr;
    }
    if (!batch::attach(*plan)) co_return nullptr;
    co_return borrow(Py_None);
}

}  // namespace

PyObject* findListForeignKeyIn_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    batch::Arguments parsed;
    if (!batch::parse_arguments("findListForeignKeyIn", args, nargs, kwnames, &parsed)) return nullptr;
    Ref instances = borrow(parsed.instances.get());
    batch::PlanPtr plan = batch::make_plan(self, std::move(parsed), true);
    if (!plan) return nullptr;
    return coroutine(batch_task(borrow(self), std::move(instances), std::move(plan)), "findListForeignKeyIn",
                     "AsyncModelExecutor.findListForeignKeyIn");
}

}  // namespace tsy::exec::async
