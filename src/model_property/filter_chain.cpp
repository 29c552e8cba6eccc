// Linking filter chains with `&` and `|`. A condition the caller keeps never
// changes under it, yet `c = c | (M.id == i)` over n values must cost O(n)
// in all, not a copy of the whole chain at every step. So a chain made here
// knows its last cell, its length and whether an OR links at its own level,
// and all its cells point to one ChainShare:
// - a chain nobody else holds is linked in place;
// - a chain someone holds, none of whose cells was ever handed to Python
//   code, is shared: the result gets a copy of its head only, and the held
//   head is detached: of the cells it still links to, only its first
//   `length` are its own (the last with its own code), and it copies them
//   the next time it is read (settle_chain);
// - any other chain is copied cell by cell.
// Links are only ever added (a cell's next goes from None to a cell), so the
// cells a detached head counts as its own stay as they were.
#include "internal.hpp"

#include <new>

namespace tsy::model {

struct ChainShare {
    Py_ssize_t refs = 1;
    bool exposed = false;  // a cell of the chain was handed to Python code
};

namespace {

void release_share(ChainShare* share) noexcept {
    if (share && --share->refs == 0) delete share;
}

ChainShare* make_share() noexcept {
    ChainShare* share = new (std::nothrow) ChainShare;
    if (!share) PyErr_NoMemory();
    return share;
}

void join_share(FilterCellObject* cell, ChainShare* share) noexcept {
    if (cell->share == share) return;
    ++share->refs;
    release_share(cell->share);
    cell->share = share;
}

FilterCellObject* next_of(FilterCellObject* cell) noexcept {
    return !cell->next || cell->next == Py_None ? nullptr : as_cell(cell->next);
}

// A chain ready to be linked: its owned head and what is known of it.
struct Piece {
    Ref head;
    FilterCellObject* last = nullptr;
    Py_ssize_t length = 0;
    bool has_or = false;
};

// The head of a chain made here whose last cell is still its end, none of
// whose cells Python code was handed.
bool shareable(FilterCellObject* head) noexcept {
    return head->length > 0 && !head->detached && head->tail && head->tail->next == Py_None && head->share &&
           !head->share->exposed && Py_IS_TYPE(head, &FilterCellType);
}

// Last cell, length and top-level OR of a chain, by walking it; every cell
// joins `share`. Column cells carry operators, not connectors.
void measure(Piece& piece, ChainShare* share) noexcept {
    piece.length = 0;
    piece.has_or = false;
    for (FilterCellObject* c = as_cell(piece.head.get()); c; c = next_of(c)) {
        ++piece.length;
        if (c->col == Py_None && c->next != Py_None && c->relationship == OR) piece.has_or = true;
        join_share(c, share);
        piece.last = c;
    }
}

// True when nobody but the caller can reach the chain: plain cells, the head
// held once (the interpreter's temporary of `col == value`), every other
// cell only by its predecessor. Linking such a chain in place is the same
// as linking a copy of it.
bool exclusive(PyObject* head) noexcept {
    for (FilterCellObject* c = as_cell(head); c; c = next_of(c)) {
        if (!Py_IS_TYPE(c, &FilterCellType) || Py_REFCNT(c) != 1) return false;
    }
    return true;
}

PyObject* copy_cell(FilterCellObject* from, ChainShare* share) noexcept {
    Ref copy = steal(new_cell(from->value, from->col));
    if (!copy) return nullptr;
    as_cell(copy.get())->relationship = from->relationship;
    join_share(as_cell(copy.get()), share);
    return copy.release();
}

// Copies of `count` cells from `first` on (all of them when count < 0), the
// values shared; `last` receives the last copy (borrowed from the result).
Ref copy_cells(FilterCellObject* first, Py_ssize_t count, ChainShare* share, FilterCellObject** last) noexcept {
    Ref head = steal(copy_cell(first, share));
    if (!head) return {};
    FilterCellObject* tail = as_cell(head.get());
    Py_ssize_t copied = 1;
    for (FilterCellObject* from = next_of(first); from && (count < 0 || copied < count); from = next_of(from)) {
        PyObject* copy = copy_cell(from, share);
        if (!copy) return {};
        Py_SETREF(tail->next, copy);
        tail = as_cell(copy);
        ++copied;
    }
    *last = tail;
    return head;
}

// The shared path: a new head in front of the held chain's other cells; the
// held head keeps its own view of them.
Ref share_head(FilterCellObject* held, Piece& piece) noexcept {
    Ref head = steal(copy_cell(held, held->share));
    if (!head) return {};
    piece.last = held->length == 1 ? as_cell(head.get()) : held->tail;
    if (held->length > 1) {
        Py_SETREF(as_cell(head.get())->next, Py_NewRef(held->next));
        held->detached = true;
        held->end_code = held->tail->relationship;
        held->tail = nullptr;
    }
    return head;
}

// An operand as a piece: in place when it can be, shared when the left one
// is held, else copied.
bool make_piece(PyObject* chain, bool left, Piece& piece) noexcept {
    if (settle_chain(chain) < 0) return false;
    FilterCellObject* head = as_cell(chain);
    if (shareable(head) && (left || Py_REFCNT(chain) == 1)) {
        piece.length = head->length;
        piece.has_or = head->has_or;
        piece.last = head->tail;
        piece.head = Py_REFCNT(chain) == 1 ? borrow(chain) : share_head(head, piece);
        return bool(piece.head);
    }
    ChainShare* share = make_share();
    if (!share) return false;
    if (exclusive(chain)) {
        piece.head = borrow(chain);
    } else {
        FilterCellObject* last = nullptr;
        piece.head = copy_cells(head, -1, share, &last);
    }
    if (piece.head) measure(piece, share);
    release_share(share);  // the cells hold it now
    return bool(piece.head);
}

// The group cell Q(chain) of the statement builder, which renders the chain
// in parentheses. Imported on use: the builder binds this module at its init.
bool group(Piece& piece) noexcept {
    Ref q = import_attr("Tessary.DB.Generator", "Q");
    if (!q) return false;
    Ref cell = call(q.get(), piece.head.get());
    if (!cell) return false;
    if (!is_cell(cell.get())) {
        fail(PyExc_TypeError, "Q() returned %.200s, expected FilterListCell", type_name(cell.get()));
        return false;
    }
    if (settle_chain(cell.get()) < 0) return false;
    piece.head = std::move(cell);
    piece.length = 0;
    for (FilterCellObject* c = as_cell(piece.head.get()); c; c = next_of(c)) {
        ++piece.length;
        piece.last = c;
    }
    piece.has_or = false;
    return true;
}

// The head of the linked chain learns what it now holds.
void track(FilterCellObject* head, const Piece& left, const Piece& right, int code) noexcept {
    head->has_or = left.has_or || right.has_or || (code == OR && left.last->col == Py_None);
    head->tail = right.last;
    head->length = left.length + right.length;
    head->detached = false;
}

}  // namespace

PyObject* combine(PyObject* a, PyObject* b, int code) noexcept {
    if (!is_cell(a) || !is_cell(b)) Py_RETURN_NOTIMPLEMENTED;
    Piece left, right;
    if (!make_piece(a, true, left) || !make_piece(b, false, right)) return nullptr;
    // ORs of an operand would bind looser than the AND that links it.
    if (code == AND && left.has_or && !group(left)) return nullptr;
    if (code == AND && right.has_or && !group(right)) return nullptr;
    FilterCellObject* head = as_cell(left.head.get());
    ChainShare* share = head->share;
    if (!share) {  // a fresh group cell
        share = make_share();
        if (!share) return nullptr;
        head->share = share;
    }
    FilterCellObject* linked = as_cell(right.head.get());
    make_interior(linked);
    for (FilterCellObject* c = linked; c; c = next_of(c)) join_share(c, share);
    left.last->relationship = code;
    Py_SETREF(left.last->next, right.head.release());
    track(head, left, right, code);
    return left.head.release();
}

int settle_chain(PyObject* chain) noexcept {
    if (!is_cell(chain)) return 0;
    FilterCellObject* head = as_cell(chain);
    if (!head->detached) return 0;
    FilterCellObject* first = next_of(head);
    ChainShare* share = make_share();
    if (!share) return -1;
    FilterCellObject* last = nullptr;
    Ref rest = first ? copy_cells(first, head->length - 1, share, &last) : Ref();
    if (first && !rest) {
        release_share(share);
        return -1;
    }
    join_share(head, share);
    release_share(share);
    if (last) last->relationship = head->end_code;
    else head->relationship = head->end_code;
    Py_SETREF(head->next, rest ? rest.release() : Py_NewRef(Py_None));
    head->tail = last ? last : head;
    head->detached = false;
    return 0;
}

void mark_exposed(FilterCellObject* cell) noexcept {
    if (cell->share) cell->share->exposed = true;
}

void make_interior(FilterCellObject* cell) noexcept {
    cell->tail = nullptr;
    cell->length = 0;
    cell->has_or = false;
}

void forget_share(FilterCellObject* cell) noexcept {
    make_interior(cell);
    release_share(cell->share);
    cell->share = nullptr;
    cell->detached = false;
}

}  // namespace tsy::model
