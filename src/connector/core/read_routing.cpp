// The replica set of a MySQL connector: its members, their health, which
// statements may read on them, and the causal bookkeeping of every thread
// and task (core/read_routing.hpp).
#include "core/read_routing.hpp"

#include <cctype>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <new>
#include <string_view>

namespace tsy::db {
namespace {

// A replica that failed is tried again after this long; its lag is read at
// most this often.
constexpr double kRetryAfter = 1.0;
constexpr double kLagEvery = 1.0;
// The statement kinds a set remembers before it starts over.
constexpr Py_ssize_t kKindsKept = 4096;
// SHOW SLAVE STATUS: the column of Seconds_Behind_Master (NULL while the
// replica does not replicate), the same on MariaDB and MySQL.
constexpr Py_ssize_t kSecondsBehindColumn = 32;

// --- the type --------------------------------------------------------------------

int set_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ReplicaSetObject* s = as_replica_set(self);
    Py_VISIT(s->members);
    Py_VISIT(s->kinds);
    return 0;
}

int set_clear(PyObject* self) noexcept {
    ReplicaSetObject* s = as_replica_set(self);
    Py_CLEAR(s->members);
    Py_CLEAR(s->kinds);
    return 0;
}

void set_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_replica_set(self)->weakrefs) PyObject_ClearWeakRefs(self);
    set_clear(self);
    delete as_replica_set(self)->health;
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject ReplicaSetType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector._ReplicaSet",
    .tp_basicsize = sizeof(ReplicaSetObject),
    .tp_dealloc = set_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "The read replicas of a connector and what is known of them.",
    .tp_traverse = set_traverse,
    .tp_clear = set_clear,
    .tp_weaklistoffset = offsetof(ReplicaSetObject, weakrefs),
};

// --- making the members --------------------------------------------------------------

struct Recipe {
    PyTypeObject* type;
    const char* scheme;
    const char* alt_scheme;
    PyObject* inherited;    // dict: what a settings dict leaves out
    PyObject* url_options;  // dict: the keywords given with every URL
};

// The dicts of a recipe from the primary's arguments.
bool fill_recipe(const MemberKind& kind, PyObject* const* given, Ref& inherited, Ref& url_options) noexcept {
    inherited = steal(PyDict_New());
    url_options = steal(PyDict_New());
    if (!inherited || !url_options) return false;
    for (std::size_t i = 0; i < kind.count; ++i) {
        if (!kind.inherited[i] || !given[i]) continue;
        if (PyDict_SetItemString(inherited.get(), kind.inherited[i], given[i]) < 0) return false;
    }
    PyObject* driver = given[kind.driver];
    return !driver || PyDict_SetItemString(url_options.get(), kind.inherited[kind.driver], driver) == 0;
}

// The URL with `alt` scheme rewritten to `scheme` (new ref), the URL itself
// when it has `scheme`; ValueError for any other.
Ref member_url(PyObject* url, const Recipe& recipe) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(url, &size);
    if (!text) return {};
    std::string_view view(text, static_cast<std::size_t>(size));
    std::string_view own(recipe.scheme);
    if (view.size() > own.size() + 3 && view.substr(0, own.size()) == own && view.substr(own.size(), 3) == "://") {
        return borrow(url);
    }
    if (recipe.alt_scheme) {
        std::string_view alt(recipe.alt_scheme);
        if (view.size() > alt.size() + 3 && view.substr(0, alt.size()) == alt && view.substr(alt.size(), 3) == "://") {
            return steal(PyUnicode_FromFormat("%s%s", recipe.scheme, text + alt.size()));
        }
    }
    return fail(PyExc_ValueError, "a replica URL of %s must start with %s:// (got a URL of another scheme)",
                recipe.type->tp_name, recipe.scheme);
}

Ref member_from_url(PyObject* url, const Recipe& recipe) noexcept {
    Ref text = member_url(url, recipe);
    Ref connect = text ? import_attr("Tessary.DB.Connector", "connect") : Ref();
    Ref args = connect ? steal(PyTuple_Pack(1, text.get())) : Ref();
    if (!args) return {};
    return steal(PyObject_Call(connect.get(), args.get(), recipe.url_options));
}

// The settings dict over what the primary was given; its own keys win.
Ref member_from_settings(PyObject* settings, const Recipe& recipe) noexcept {
    Ref kwargs = steal(PyDict_Copy(recipe.inherited));
    if (!kwargs || PyDict_Update(kwargs.get(), settings) < 0) return {};
    if (PyDict_GetItemString(kwargs.get(), "replicas")) {
        return fail(PyExc_ValueError, "a replica cannot have replicas of its own");
    }
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return {};
    return steal(PyObject_Call(reinterpret_cast<PyObject*>(recipe.type), empty.get(), kwargs.get()));
}

Ref make_member(PyObject* entry, const Recipe& recipe) noexcept {
    Ref member = PyUnicode_Check(entry) ? member_from_url(entry, recipe)
                 : PyDict_Check(entry)  ? member_from_settings(entry, recipe)
                                        : fail(PyExc_TypeError, "each replica is a URL (str) or a dict of settings, not %.200s",
                                               type_name(entry));
    if (member && !Py_IS_TYPE(member.get(), recipe.type)) {
        return fail(PyExc_ValueError, "a replica of %s must be one too (got %.200s)", recipe.type->tp_name,
                    type_name(member.get()));
    }
    return member;
}

Ref make_members(PyObject* replicas, const Recipe& recipe) noexcept {
    if (!PyList_Check(replicas) && !PyTuple_Check(replicas)) {
        return fail(PyExc_TypeError, "replicas must be a list of URLs or settings dicts, not %.200s", type_name(replicas));
    }
    Ref items = steal(PySequence_Tuple(replicas));
    if (!items) return {};
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Ref members = steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; members && i < n; ++i) {
        Ref member = make_member(PyTuple_GET_ITEM(items.get(), i), recipe);
        if (!member) return {};
        PyTuple_SET_ITEM(members.get(), i, member.release());
    }
    return members;
}

// --- the keywords ---------------------------------------------------------------------

int parse_consistency(PyObject* value, bool* causal) noexcept {
    if (!value) return 0;
    if (!PyUnicode_Check(value)) {
        return fail(PyExc_TypeError, "consistency must be \"causal\" or \"eventual\", not %.200s", type_name(value));
    }
    if (PyUnicode_CompareWithASCIIString(value, "causal") == 0) *causal = true;
    else if (PyUnicode_CompareWithASCIIString(value, "eventual") == 0) *causal = false;
    else return fail(PyExc_ValueError, "consistency must be \"causal\" or \"eventual\" (got %R)", value);
    return 0;
}

// A number of seconds >= 0; `none_means` when None is allowed and given.
int parse_seconds(PyObject* value, const char* name, bool none_ok, double* out) noexcept {
    if (!value) return 0;
    if (value == Py_None && none_ok) {
        *out = -1;
        return 0;
    }
    if (PyBool_Check(value) || (!PyLong_Check(value) && !PyFloat_Check(value))) {
        return fail(PyExc_TypeError, "%s must be a number of seconds%s, not %.200s", name, none_ok ? " or None" : "",
                    type_name(value));
    }
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return -1;
    if (!(seconds >= 0) || seconds > 1e9) return fail(PyExc_ValueError, "%s must be between 0 and 1e9 seconds (got %R)", name, value);
    *out = seconds;
    return 0;
}

Ref new_set(Ref members, bool causal, double timeout, double max_lag) noexcept {
    if (!(ReplicaSetType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&ReplicaSetType) < 0) return {};
    Ref self = steal(ReplicaSetType.tp_alloc(&ReplicaSetType, 0));
    if (!self) return {};
    ReplicaSetObject* s = as_replica_set(self.get());
    s->health = new (std::nothrow) std::vector<ReplicaHealth>();
    if (!s->health) return steal(PyErr_NoMemory());
    try {
        s->health->resize(static_cast<std::size_t>(PyTuple_GET_SIZE(members.get())));
    } catch (...) {
        return steal(PyErr_NoMemory());
    }
    s->members = members.release();
    s->kinds = PyDict_New();
    if (!s->kinds) return {};
    s->causal = causal;
    s->causal_timeout = timeout;
    s->max_lag = max_lag;
    return self;
}

}  // namespace

int init_replica_set(PyObject* connector, const MemberKind& kind, PyObject* const* given, PyObject* replicas,
                     PyObject* consistency, PyObject* causal_timeout, PyObject* max_lag) noexcept {
    bool causal = true;
    double timeout = 1.0, lag = -1;
    if (parse_consistency(consistency, &causal) < 0 || parse_seconds(causal_timeout, "causalTimeout", false, &timeout) < 0 ||
        parse_seconds(max_lag, "maxReplicaLag", true, &lag) < 0) {
        return -1;
    }
    ConnectorObject* c = as_connector(connector);
    Py_CLEAR(c->replicas);
    if (!replicas || replicas == Py_None) return 0;
    Ref inherited, url_options;
    if (!fill_recipe(kind, given, inherited, url_options)) return -1;
    Recipe recipe{kind.type, kind.scheme, kind.alt_scheme, inherited.get(), url_options.get()};
    Ref members = make_members(replicas, recipe);
    if (!members) return -1;
    if (PyTuple_GET_SIZE(members.get()) == 0) return 0;
    Ref set = new_set(std::move(members), causal, timeout, lag);
    if (!set) return -1;
    c->replicas = set.release();
    return 0;
}

PyObject* replica_members(PyObject* connector) noexcept {
    ReplicaSetObject* s = replicas_of(connector);
    return s ? Py_NewRef(s->members) : PyTuple_New(0);
}

PyObject* replica_consistency(PyObject* connector) noexcept {
    ReplicaSetObject* s = replicas_of(connector);
    return PyUnicode_FromString(!s || s->causal ? "causal" : "eventual");
}

PyObject* replica_causal_timeout(PyObject* connector) noexcept {
    ReplicaSetObject* s = replicas_of(connector);
    return PyFloat_FromDouble(s ? s->causal_timeout : 1.0);
}

PyObject* replica_max_lag(PyObject* connector) noexcept {
    ReplicaSetObject* s = replicas_of(connector);
    if (!s || s->max_lag < 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(s->max_lag);
}

// --- which statements only read -----------------------------------------------------------

namespace {

// Reads a statement's words, skipping quoted text, comments, numbers and
// punctuation. `variable` is set when a user or system variable (`@`) shows.
class Words {
public:
    explicit Words(std::string_view text) noexcept : s_(text) {}

    // The next word, upper-cased into `word` (cut at its size); false at the end.
    bool next(char (&word)[24]) noexcept {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == '\'' || c == '"' || c == '`') {
                skip_quoted(c);
            } else if (c == '#' || (c == '-' && at("--") && (i_ + 2 >= s_.size() || std::isspace(uc(s_[i_ + 2]))))) {
                skip_to_line_end();
            } else if (c == '/' && at("/*")) {
                skip_block_comment();
            } else if (c == '@') {
                variable = true;
                ++i_;
            } else if (std::isalpha(uc(c)) || c == '_' || c == '$') {
                read_word(word);
                return true;
            } else if (std::isdigit(uc(c))) {
                while (i_ < s_.size() && (std::isalnum(uc(s_[i_])) || s_[i_] == '.')) ++i_;
            } else {
                ++i_;
            }
        }
        return false;
    }

    // Whether the next character past blanks is '(' (a function call).
    bool call_follows() const noexcept {
        std::size_t j = i_;
        while (j < s_.size() && std::isspace(uc(s_[j]))) ++j;
        return j < s_.size() && s_[j] == '(';
    }

    bool variable = false;

private:
    static unsigned char uc(char c) noexcept { return static_cast<unsigned char>(c); }
    bool at(const char* two) const noexcept { return i_ + 1 < s_.size() && s_[i_] == two[0] && s_[i_ + 1] == two[1]; }

    void skip_quoted(char quote) noexcept {
        ++i_;
        while (i_ < s_.size()) {
            char c = s_[i_++];
            if (c == '\\' && quote != '`') {
                ++i_;
            } else if (c == quote) {
                if (i_ < s_.size() && s_[i_] == quote) ++i_;  // a doubled quote stands for itself
                else return;
            }
        }
    }
    void skip_to_line_end() noexcept {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    }
    void skip_block_comment() noexcept {
        std::size_t end = s_.find("*/", i_ + 2);
        i_ = end == std::string_view::npos ? s_.size() : end + 2;
    }
    void read_word(char (&word)[24]) noexcept {
        std::size_t n = 0;
        while (i_ < s_.size() && (std::isalnum(uc(s_[i_])) || s_[i_] == '_' || s_[i_] == '$')) {
            if (n + 1 < sizeof word) word[n++] = static_cast<char>(std::toupper(uc(s_[i_])));
            ++i_;
        }
        word[n] = '\0';
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

bool is_one_of(const char* word, std::initializer_list<const char*> list) noexcept {
    for (const char* item : list) {
        if (std::strcmp(word, item) == 0) return true;
    }
    return false;
}

// Words that make a SELECT write, lock, or depend on the session it runs in.
bool writes_or_locks(const char* word, const char* previous) noexcept {
    if (is_one_of(word, {"UPDATE", "DELETE", "INSERT", "INTO", "LOCK"})) return true;
    if (std::strcmp(previous, "FOR") == 0 && std::strcmp(word, "SHARE") == 0) return true;
    return std::strcmp(word, "VALUE") == 0 && is_one_of(previous, {"NEXT", "PREVIOUS"});
}

bool session_function(const char* word) noexcept {
    return is_one_of(word, {"LAST_INSERT_ID", "ROW_COUNT", "FOUND_ROWS", "GET_LOCK", "RELEASE_LOCK",
                            "RELEASE_ALL_LOCKS", "IS_FREE_LOCK", "IS_USED_LOCK", "NEXTVAL", "LASTVAL", "SETVAL",
                            "MASTER_GTID_WAIT", "MASTER_POS_WAIT", "CONNECTION_ID"});
}

bool text_only_reads(std::string_view text) noexcept {
    Words words(text);
    char word[24];
    if (!words.next(word)) return false;
    if (std::strcmp(word, "SHOW") == 0) return true;
    if (std::strcmp(word, "SELECT") != 0 && std::strcmp(word, "WITH") != 0) return false;
    char previous[24] = "";
    while (words.next(word)) {
        if (writes_or_locks(word, previous) || (session_function(word) && words.call_follows())) return false;
        std::memcpy(previous, word, sizeof word);
    }
    return !words.variable;
}

}  // namespace

int only_reads(ReplicaSetObject* set, PyObject* sql) noexcept {
    PyObject* known = PyDict_GetItemWithError(set->kinds, sql);
    if (known) return known == Py_True;
    if (PyErr_Occurred()) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(sql, &size);
    if (!text) return -1;
    bool reads = text_only_reads(std::string_view(text, static_cast<std::size_t>(size)));
    if (PyDict_GET_SIZE(set->kinds) >= kKindsKept) PyDict_Clear(set->kinds);
    if (PyDict_SetItem(set->kinds, sql, reads ? Py_True : Py_False) < 0) return -1;
    return reads;
}

// --- health -----------------------------------------------------------------------------

namespace {

// Cell `column` of the first row of a result (a list or tuple of rows,
// each a sequence, as the drivers give them; new ref), or an empty Ref
// (no error set) when there is none.
Ref first_cell(PyObject* rows, Py_ssize_t column) noexcept {
    bool listed = PyList_Check(rows) || PyTuple_Check(rows);
    Py_ssize_t count = listed ? PySequence_Fast_GET_SIZE(rows) : 0;
    PyObject* row = count > 0 ? PySequence_Fast_GET_ITEM(rows, 0) : nullptr;
    Ref cell = row && PySequence_Check(row) && PySequence_Size(row) > column ? steal(PySequence_GetItem(row, column)) : Ref();
    PyErr_Clear();
    return cell;
}

}  // namespace

double steady_seconds() noexcept {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int pick_replica(ReplicaSetObject* set, double now, bool* check_lag) noexcept {
    std::vector<ReplicaHealth>& health = *set->health;
    std::size_t n = health.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = (set->next + k) % n;
        ReplicaHealth& h = health[i];
        if (h.down_until > now) continue;
        bool due = set->max_lag >= 0 && now - h.lag_checked >= kLagEvery;
        if (h.lagging && !due) continue;
        set->next = i + 1;
        *check_lag = due;
        return static_cast<int>(i);
    }
    return -1;
}

bool note_lag(ReplicaSetObject* set, int index, PyObject* rows, double now) noexcept {
    ReplicaHealth& h = (*set->health)[static_cast<std::size_t>(index)];
    h.lag_checked = now;
    Ref seconds = first_cell(rows, kSecondsBehindColumn);
    double lag = seconds && PyLong_Check(seconds.get()) ? PyLong_AsDouble(seconds.get()) : -1;
    PyErr_Clear();  // a replica whose status cannot be read counts as not replicating
    h.lagging = lag < 0 || lag > set->max_lag;
    return !h.lagging;
}

void mark_down(ReplicaSetObject* set, int index, double now) noexcept {
    ReplicaHealth& h = (*set->health)[static_cast<std::size_t>(index)];
    h.down_until = now + kRetryAfter;
    h.reached.clear();  // it may come back from another start, or be another server
}

namespace {

// Whether `error` says the server or the connection went away, rather than
// that the statement failed.
bool connection_lost(PyObject* error) noexcept {
    if (PyErr_GivenExceptionMatches(error, PyExc_OSError) || PyErr_GivenExceptionMatches(error, PyExc_EOFError)) {
        return true;
    }
    bool lost = std::strcmp(_PyType_Name(Py_TYPE(error)), "InterfaceError") == 0;
    Ref args = attr(error, "args");
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0 && PyLong_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        long code = PyLong_AsLong(PyTuple_GET_ITEM(args.get(), 0));
        // Client-side errors (2000-2999: cannot connect, gone away, lost),
        // too many connections, shutdown in progress, connection killed.
        lost = lost || (code >= 2000 && code < 3000) || code == 1040 || code == 1053 || code == 1077 || code == 1152 ||
               code == 1927 || code == 4031;
    }
    PyErr_Clear();
    return lost;
}

}  // namespace

AfterFailure judge_failure(ReplicaSetObject* set, int index, double now) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return AfterFailure::Stop;
    Ref error = steal(PyErr_GetRaisedException());
    if (!connection_lost(error.get())) return AfterFailure::Primary;
    mark_down(set, index, now);
    return AfterFailure::Skip;
}

// --- causal reads -------------------------------------------------------------------------

namespace {

// contextvars.ContextVar "Tessary.replica_positions": a dict {weak
// reference to a set: True or a position str}, never changed in place (a
// task's copy of the context shares it), for the life of the process.
PyObject* positions_var = nullptr;

// The calling context's dict (new ref), or None.
Ref context_positions() noexcept {
    if (!positions_var && !(positions_var = PyContextVar_New("Tessary.replica_positions", nullptr))) return {};
    PyObject* current = nullptr;
    if (PyContextVar_Get(positions_var, Py_None, &current) < 0) return {};
    return steal(current);
}

// The set's entry in the calling context: None, True or a position (new ref).
Ref context_entry(ReplicaSetObject* set) noexcept {
    Ref positions = context_positions();
    if (!positions || positions.get() == Py_None) return positions;
    Ref key = steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(set), nullptr));
    if (!key) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(positions.get(), key.get(), &found) < 0) return {};
    return found ? steal(found) : borrow(Py_None);
}

// A new dict for the calling context: its entries of sets still alive, and
// the set's own `value`. -1 on error.
int set_context_entry(ReplicaSetObject* set, PyObject* value) noexcept {
    Ref positions = context_positions();
    Ref fresh = positions ? steal(PyDict_New()) : Ref();
    Ref key = fresh ? steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(set), nullptr)) : Ref();
    if (!key) return -1;
    Py_ssize_t pos = 0;
    PyObject *other, *kept;
    while (positions.get() != Py_None && PyDict_Next(positions.get(), &pos, &other, &kept)) {
        PyObject* referent = nullptr;
        if (PyWeakref_GetRef(other, &referent) < 0) return -1;
        Ref alive = steal(referent);
        if (alive && PyDict_SetItem(fresh.get(), other, kept) < 0) return -1;
    }
    if (PyDict_SetItem(fresh.get(), key.get(), value) < 0) return -1;
    Ref token = steal(PyContextVar_Set(positions_var, fresh.get()));
    return token ? 0 : -1;
}

}  // namespace

int note_write(ReplicaSetObject* set) noexcept {
    if (!set->causal) return 0;
    Ref value = context_entry(set);
    if (!value) return -1;
    return value.get() == Py_True ? 0 : set_context_entry(set, Py_True);
}

Ref causal_need(ReplicaSetObject* set) noexcept {
    if (!set->causal) return borrow(Py_None);
    return context_entry(set);
}

Ref keep_position(ReplicaSetObject* set, PyObject* rows) noexcept {
    Ref position = first_cell(rows, 0);
    if (!position || !PyUnicode_Check(position.get())) {
        return fail(PyExc_RuntimeError, "the primary did not tell its binary log position (is log_bin on?)");
    }
    if (set_context_entry(set, position.get()) < 0) return {};
    return position;
}

namespace {

// "0-1-42,1-2-7" -> {0: 42, 1: 7}; a malformed part is left out.
GtidPosition parse_position(PyObject* text) noexcept {
    GtidPosition points;
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &size);
    if (!s) {
        PyErr_Clear();
        return points;
    }
    std::string_view rest(s, static_cast<std::size_t>(size));
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view part = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        std::size_t first = part.find('-'), last = part.rfind('-');
        if (first == std::string_view::npos || first == last) continue;
        std::uint64_t domain = 0, seq = 0;
        for (char c : part.substr(0, first)) domain = domain * 10 + static_cast<std::uint64_t>(c - '0');
        for (char c : part.substr(last + 1)) seq = seq * 10 + static_cast<std::uint64_t>(c - '0');
        try {
            points.push_back({static_cast<std::uint32_t>(domain), seq});
        } catch (...) {
            return {};
        }
    }
    return points;
}

std::uint64_t seq_in(const GtidPosition& position, std::uint32_t domain, bool* found) noexcept {
    for (const GtidPoint& p : position) {
        if (p.domain == domain) {
            *found = true;
            return p.seq;
        }
    }
    *found = false;
    return 0;
}

}  // namespace

bool reached(ReplicaSetObject* set, int index, PyObject* position) noexcept {
    const GtidPosition& known = (*set->health)[static_cast<std::size_t>(index)].reached;
    if (known.empty()) return false;
    GtidPosition wanted = parse_position(position);
    for (const GtidPoint& p : wanted) {
        bool found = false;
        if (seq_in(known, p.domain, &found) < p.seq || !found) return false;
    }
    return true;
}

int note_wait(ReplicaSetObject* set, int index, PyObject* position, PyObject* rows) noexcept {
    Ref answer = first_cell(rows, 0);
    long code = answer && PyLong_Check(answer.get()) ? PyLong_AsLong(answer.get()) : -2;
    if (code == -2) {
        PyErr_Clear();
        return fail(PyExc_RuntimeError, "MASTER_GTID_WAIT gave no answer on the replica");
    }
    if (code != 0) return 0;
    GtidPosition& known = (*set->health)[static_cast<std::size_t>(index)].reached;
    try {
        for (const GtidPoint& p : parse_position(position)) {
            bool found = false;
            std::uint64_t have = seq_in(known, p.domain, &found);
            if (!found) known.push_back(p);
            for (GtidPoint& k : known) {
                if (k.domain == p.domain && p.seq > have) k.seq = p.seq;
            }
        }
    } catch (...) {
        known.clear();  // nothing remembered: the next read waits again
    }
    return 1;
}

PyObject* wait_args(ReplicaSetObject* set, PyObject* position) noexcept {
    return Py_BuildValue("(Od)", position, set->causal_timeout);
}

PyObject* routing_text(const char* which) noexcept {
    static PyObject* position = nullptr;
    static PyObject* wait = nullptr;
    static PyObject* lag = nullptr;
    // By text, not by address: each file may hold its own copy of a literal
    // (the sanitizer build does), so the pointers need not be equal.
    PyObject*& slot = std::strcmp(which, kPrimaryPositionSql) == 0 ? position
                      : std::strcmp(which, kWaitSql) == 0         ? wait
                                                                  : lag;
    if (!slot) slot = PyUnicode_InternFromString(which);
    return slot;
}

}  // namespace tsy::db
