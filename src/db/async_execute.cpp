// The handle's execute with a coroutine connector: the statement is rendered
// when execute() is called, so the awaitable runs exactly the statement that
// was pending then; the connector's awaitable runs it, and the executor's
// process gets the result once it is there.
#include "handle.hpp"

#include "tessary/coro.hpp"

namespace tsy::db {
namespace {

coro::Task run_and_process(Ref executor, Ref pending, Ref names) {
    Ref result = co_await coro::await(std::move(pending));
    if (!result) co_return nullptr;
    co_return steal(finish_statement(executor.get(), result.get(), names.get()));
}

}  // namespace

PyObject* await_statement(PyObject* executor, Ref pending, Ref names) noexcept {
    if (!coro::import_coro_api()) return nullptr;
    return coro::make_coroutine(run_and_process(borrow(executor), std::move(pending), std::move(names)), "execute",
                                "DB.execute");
}

}  // namespace tsy::db
