// Declarations shared by the files of Tessary.Ext.Seeder.
#pragma once

#include "tessary/carrack.hpp"
#include "tessary/model.hpp"

namespace tsy::seeder {

extern PyTypeObject RunnerTaskType;
extern PyTypeObject GeneratorRunnerType;

// One registered generation task.
struct RunnerTaskObject {
    PyObject_HEAD
    PyObject* _model;      // model class, or a false value until learned
    int count;
    PyObject* generator;   // called with time=<n>, returns an instance or None
};

struct GeneratorRunnerObject {
    PyObject_HEAD
    PyObject* loop;        // event loop used on the asynchronous path, or None
};

struct Bound {
    const exec::CarrackApi* carrack = nullptr;
    const model::ModelApi* model = nullptr;
    PyObject* DB = nullptr;           // Tessary.DB.DB.DB
    PyObject* asyncio_sleep = nullptr;
    PyObject* module = nullptr;       // this module (borrowed, lives for the process)
    // The registry: every task in registration order, and tasks by group.
    PyObject* taskList = nullptr;
    PyObject* taskGroups = nullptr;
};
extern Bound bound;

struct Names {
    PyObject* time;
    PyObject* object;
    PyObject* getExecutor;
    PyObject* save;
    PyObject* getInstance;
    PyObject* connector;
    PyObject* connectorFor;
    PyObject* isAsync;
    PyObject* isReady;
    PyObject* getCon;
    PyObject* commit;
    PyObject* is_running;
    PyObject* create_task;
    PyObject* run_until_complete;
    PyObject* arun;
    PyObject* model;
    PyObject* count;
    PyObject* generator;
    PyObject* releaseCon;
    PyObject* one;           // 1: the default count
    PyObject* poll_seconds;  // 0.3: the readiness poll interval
};
extern Names names;

int init_names() noexcept;
int ready_task() noexcept;
int ready_runner() noexcept;

// True once __init__ has given the task its model and generator.
bool task_ready(PyObject* self) noexcept;

// The task's model class, learned from its generator when not given (new ref).
PyObject* task_model(RunnerTaskObject* task) noexcept;

// Calls the task's generator with time=<n> and checks the result (new ref:
// a ModelInstance or None).
PyObject* generate(RunnerTaskObject* task, int time) noexcept;

// Registers a task (the module function create_task's work).
int register_task(PyObject* generator, PyObject* model, int count, PyObject* group) noexcept;

// The database handle's connector (new ref).
Ref connector() noexcept;
// The connector the statements of `model` go to: its `database`, the
// handle's connector by default (new ref).
Ref model_connector(PyObject* model) noexcept;
// Whether `connector` runs on an event loop: 1, 0, or -1 on error.
int runs_on_loop(PyObject* connector) noexcept;
// Saves `count` generated instances of one task through its model's
// synchronous executor.
bool run_task_sync(RunnerTaskObject* task) noexcept;

// The coroutine that runs `tasks` (a list of RunnerTask) on an event loop.
PyObject* async_pass(PyObject* tasks) noexcept;

}  // namespace tsy::seeder
