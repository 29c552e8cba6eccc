// The coroutine form of a fetch: the same steps as the synchronous one,
// suspended only at the count query, the content query and the loading of
// related rows.
#include "tessary/coro.hpp"

#include "internal.hpp"

namespace tsy::folio {
namespace {

coro::Task fetch(Ref self, Ref page = nullptr, Ref content = nullptr) {
    const Fetch state = fetch_of(reinterpret_cast<FolioObject*>(self.get()));
    page = steal(begin_fetch(state));
    if (!page) co_return nullptr;
    Ref rows = co_await coro::await(call_method(self.get(), names._getCount));
    if (!rows) co_return nullptr;
    int wanted = fill_totals(state, page.get(), rows.get());
    if (wanted < 0) co_return nullptr;
    if (wanted == 0) co_return std::move(page);
    if (!limit_to_page(state)) co_return nullptr;
    content = co_await coro::await(call_method(state.executor.get(), names.execute));
    if (!content || PyObject_SetAttr(page.get(), names.content, content.get()) < 0) co_return nullptr;
    if (state.deep) {
        Py_ssize_t n = PyObject_Length(content.get());
        if (n < 0) co_return nullptr;
        if (n > 0) {
            Ref loaded = co_await coro::await(load_related_rows(state, content.get()));
            if (!loaded) co_return nullptr;
        }
    }
    co_return std::move(page);
}

}  // namespace

PyObject* async_fetch(FolioObject* self) noexcept {
    return coro::make_coroutine(fetch(borrow(reinterpret_cast<PyObject*>(self))), "_asyncExecute",
                                "_Folio._asyncExecute");
}

}  // namespace tsy::folio
