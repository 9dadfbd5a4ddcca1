// Test-only module: reaches the trigger's internal clock and console writer,
// which quorvane_3 does not expose. It carries its own copy of the module's
// code, pointed at quorvane_3's namespace so that global lookups (`time`)
// and traceback records behave as they do inside quorvane_3.
#include "module/constants.h"
#include "module/original_attr.h"
#include "module/plain_repr.h"
#include "module/startup_checks.h"
#include "order/clock_output.h"
#include "order/fast_paths.h"
#include "order/native_poll.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

int borrow_quorvane_state() {
    using qv::g;
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule("quorvane_3"));
    if (!module) return -1;
    if (qv::make_string_constants() < 0) return -1;
    g.module.set(qv::Ref::borrow(module.get()));
    g.dict.set(qv::Ref::borrow(PyModule_GetDict(module.get())));
    if (g.builtins.set_made(qv::Ref::steal(PyImport_ImportModule("builtins"))) < 0 ||
        g.support_module.set_made(qv::Ref::steal(PyImport_ImportModule("_quorvane_runtime"))) < 0 ||
        g.int_1000.set_made(qv::Ref::steal(PyLong_FromLong(1000))) < 0 ||
        g.empty_str.set_made(qv::Ref::steal(PyUnicode_FromString(""))) < 0 ||
        g.empty_tuple.set_made(qv::Ref::steal(PyTuple_New(0))) < 0) {
        return -1;
    }
    // The same decision as quorvane_3's import, without its warning; the
    // tests may change it (trust_layout) for this copy of the code only.
    qv_trust_layout(qv::same_release(PY_VERSION, Py_GetVersion()));
    return qv::capture_fast_path_guards();
}

PyObject* optimized_print(PyObject*, PyObject* text) {
    qv::Ref result = qv::optimized_print(text);
    std::fflush(stdout);
    return result.release();
}

PyObject* get_current_timestamp(PyObject*, PyObject*) { return qv::get_current_timestamp().release(); }

PyObject* ms_from_ns(PyObject*, PyObject* ns) {
    long long v = PyLong_AsLongLong(ns);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLongLong(qv::ms_from_realtime_ns(v));
}

PyObject* quote(PyObject*, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "str expected");
        return nullptr;
    }
    return qv::quote_text(text).release();
}

PyObject* uuid4_text(PyObject*, PyObject*) { return qv::uuid4_text().release(); }

PyObject* hmac_hex(PyObject*, PyObject* args) {
    const char *key, *msg;
    Py_ssize_t key_len, msg_len;
    if (!PyArg_ParseTuple(args, "y#y#", &key, &key_len, &msg, &msg_len)) return nullptr;
    char out[64];
    qv::hmac_sha256_hex(reinterpret_cast<const unsigned char*>(key), static_cast<size_t>(key_len),
                        reinterpret_cast<const unsigned char*>(msg), static_cast<size_t>(msg_len), out);
    return PyUnicode_FromStringAndSize(out, 64);
}

PyObject* clock_is_native(PyObject*, PyObject*) {
    int native = qv::fast.time_time.check();
    return native < 0 ? nullptr : PyBool_FromLong(native);
}

struct NamedGuard {
    const char* name;
    qv::Guard& guard;
};
const NamedGuard guards[] = {{"time", qv::fast.time_time},
                             {"uuid4", qv::fast.uuid_uuid4},
                             {"quote", qv::fast.quote},
                             {"hmac", qv::fast.hmac_new},
                             {"sha256", qv::fast.hashlib_sha256}};

// {fast path: report(guard)}
PyObject* report_guards(PyObject* (*report)(qv::Guard&)) {
    qv::Ref result = qv::Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (const NamedGuard& g : guards) {
        qv::Ref value = qv::Ref::steal(report(g.guard));
        if (!value || PyDict_SetItemString(result.get(), g.name, value.get()) < 0) return nullptr;
    }
    return result.release();
}

// {fast path: whether its guard holds now}
PyObject* fast_paths(PyObject*, PyObject*) {
    return report_guards([](qv::Guard& g) {
        int holds = g.check();
        return holds < 0 ? nullptr : PyBool_FromLong(holds);
    });
}

// {fast path: the capacity of its guard that ran out, or None}
PyObject* guard_overflows(PyObject*, PyObject*) {
    return report_guards([](qv::Guard& g) {
        const char* full = g.overflow();
        return full ? PyUnicode_FromString(full) : qv::Ref::borrow(Py_None).release();
    });
}

// The native polling pass with a clock under the test's control.
std::atomic<long> clock_reads_done{0};
std::atomic<bool> clock_released{false};
std::atomic<long> polls_started{0};
std::atomic<long> served_at{-1};

// Notes the read at which a request was served and ends the poll.
void note_served() {
    served_at = clock_reads_done.load();
    clock_released = true;
}

// A pending call that notes when it is served and returns `status`, having
// set RuntimeError first when `raises`; queued by the clock (of poll() or
// tick()) at its read number `at` (from 0), by the polling thread itself.
struct PendingCallPlan {
    std::atomic<long> at{-1};
    int status = 0;
    bool raises = false;
};
PendingCallPlan pending_plan;

int pending_call_with_status(void*) {
    note_served();
    if (pending_plan.raises) PyErr_SetString(PyExc_RuntimeError, "raised by a pending call");
    return pending_plan.status;
}

void queue_planned_call(long read) {
    if (read != pending_plan.at) return;
    pending_plan.at = -1;
    Py_AddPendingCall(pending_call_with_status, nullptr);
}

// poll(opening, readings, *, hold=False, signal_at=-1, signum=0):
// the clock gives `readings` in turn and then hands over to the general pass;
// with `hold`, it gives the last reading again until release_clock() is
// called, and the opening itself after that. At read number `signal_at`
// (from 0) it raises signal `signum` first. Returns (outcome, left): 1 and
// the time left of the crossing pass, or 0 and None when handed over.
PyObject* poll(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"opening", "readings", "hold", "signal_at", "signum", nullptr};
    long long opening;
    PyObject* readings;
    int hold = 0, signum = 0;
    long signal_at = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LO!|$pli", const_cast<char**>(names), &opening, &PyTuple_Type,
                                     &readings, &hold, &signal_at, &signum)) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(readings);
    if (hold && n == 0) {
        PyErr_SetString(PyExc_ValueError, "hold needs a reading to hold");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* reading = PyTuple_GET_ITEM(readings, i);
        if (!PyLong_CheckExact(reading)) {
            PyErr_SetString(PyExc_TypeError, "readings must be ints");
            return nullptr;
        }
        // The clock reads them without a check of its own.
        if (PyLong_AsLongLong(reading) == -1 && PyErr_Occurred()) return nullptr;
    }
    clock_reads_done = 0;
    clock_released = false;
    ++polls_started;
    auto read_clock = [&](long long* ms) {
        long i = clock_reads_done++;
        if (i == signal_at) std::raise(signum);
        queue_planned_call(i);
        if (i < n) {
            *ms = PyLong_AsLongLong(PyTuple_GET_ITEM(readings, i));
            return true;
        }
        if (!hold) return false;
        *ms = clock_released ? opening : PyLong_AsLongLong(PyTuple_GET_ITEM(readings, n - 1));
        return true;
    };
    long long now = 0, left = 0;
    int outcome = qv::poll_until_crossed(opening, read_clock, &now, &left);
    std::fflush(stdout);
    if (outcome < 0) return nullptr;
    if (outcome == 0) return Py_BuildValue("(iO)", 0, Py_None);
    return Py_BuildValue("(iL)", 1, left);
}

PyObject* clock_reads(PyObject*, PyObject*) { return PyLong_FromLong(clock_reads_done.load()); }

// How many times poll() has begun: tells the reads of one poll from those
// left over from the one before.
PyObject* polls(PyObject*, PyObject*) { return PyLong_FromLong(polls_started.load()); }

PyObject* release_clock(PyObject*, PyObject*) {
    clock_released = true;
    Py_RETURN_NONE;
}

// A clock for the general pass written in C (no bytecode runs): tick()
// counts its readings as poll()'s clock does and gives 0.0 until
// release_clock() or until it has been read `limit` times
// (reset_clock(limit=-1), -1: no limit), then raises RuntimeError.
// reset_clock() starts a count.
std::atomic<long> tick_limit{-1};

PyObject* tick(PyObject*, PyObject*) {
    long read = ++clock_reads_done;
    queue_planned_call(read - 1);
    if (!clock_released && (tick_limit < 0 || read <= tick_limit)) return PyFloat_FromDouble(0.0);
    PyErr_SetString(PyExc_RuntimeError, "clock stopped");
    return nullptr;
}

PyObject* reset_clock(PyObject*, PyObject* args) {
    long limit = -1;
    if (!PyArg_ParseTuple(args, "|l", &limit)) return nullptr;
    tick_limit = limit;
    clock_reads_done = 0;
    clock_released = false;
    ++polls_started;
    Py_RETURN_NONE;
}

// Requests from a plain C thread, which never holds the interpreter lock.
std::thread plain_thread;
std::atomic<long> requested_at{-1};
std::atomic<bool> gave_up{false};

int pending_call_noting_served(void*) {
    note_served();
    return 0;
}

void join_plain_thread() {
    if (!plain_thread.joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    plain_thread.join();
    Py_END_ALLOW_THREADS
}

// request_from_plain_thread(what, after_reads, signum=0): starts a C thread
// that waits until the next poll (or reset_clock()) has read the clock
// `after_reads` times, then queues a pending call that calls served()
// ("call") or raises signal `signum` on itself ("signal": its handler should
// call served()). Should the poll not serve it in a minute, the thread
// releases the clock, so that the poll ends all the same (gave_up()).
PyObject* request_from_plain_thread(PyObject*, PyObject* args) {
    const char* what;
    long after_reads;
    int signum = 0;
    if (!PyArg_ParseTuple(args, "sl|i", &what, &after_reads, &signum)) return nullptr;
    bool call = std::strcmp(what, "call") == 0;
    if (!call && std::strcmp(what, "signal") != 0) {
        PyErr_SetString(PyExc_ValueError, "what is 'call' or 'signal'");
        return nullptr;
    }
    join_plain_thread();
    requested_at = -1;
    served_at = -1;
    gave_up = false;
    long polls_before = polls_started.load();
    plain_thread = std::thread([=] {
        using namespace std::chrono_literals;
        while (polls_started.load() == polls_before || clock_reads_done.load() < after_reads) {
            std::this_thread::sleep_for(1ms);
        }
        if (call) Py_AddPendingCall(pending_call_noting_served, nullptr);
        else std::raise(signum);
        // The request is seen by every thread before the count is read: the
        // poller serves it at most one read after this count.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        requested_at = clock_reads_done.load();
        for (int ms = 0; ms < 60000 && !clock_released; ++ms) std::this_thread::sleep_for(1ms);
        if (!clock_released) {
            gave_up = true;
            clock_released = true;
        }
    });
    Py_RETURN_NONE;
}

// queue_pending_call(status, raise_error, at): plans the pending call above
// for the next poll.
PyObject* queue_pending_call(PyObject*, PyObject* args) {
    int status, raise_error = 0;
    long at = 0;
    if (!PyArg_ParseTuple(args, "i|pl", &status, &raise_error, &at)) return nullptr;
    pending_plan.status = status;
    pending_plan.raises = raise_error;
    pending_plan.at = at;
    served_at = -1;
    Py_RETURN_NONE;
}

PyObject* served_reads(PyObject*, PyObject*) { return PyLong_FromLong(served_at.load()); }

PyObject* served(PyObject*, PyObject*) {
    note_served();
    Py_RETURN_NONE;
}

// (read just after the request was made, read when served or -1, whether
// the thread gave up), once the thread has ended.
PyObject* plain_thread_outcome(PyObject*, PyObject*) {
    join_plain_thread();
    return Py_BuildValue("(llO)", requested_at.load(), served_at.load(), gave_up ? Py_True : Py_False);
}

PyObject* trust_layout(PyObject*, PyObject* flag) {
    int trusted = PyObject_IsTrue(flag);
    if (trusted < 0) return nullptr;
    qv_trust_layout(trusted);
    Py_RETURN_NONE;
}

PyObject* layout_trusted(PyObject*, PyObject*) { return PyBool_FromLong(qv_layout_trusted()); }

// repr() through the plain-data writer; None when the writer declines.
PyObject* plain_repr(PyObject*, PyObject* o) {
    qv::Ref text = qv::plain_repr(o);
    if (text || PyErr_Occurred()) return text.release();
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"plain_repr", plain_repr, METH_O, nullptr},
    {"ms_from_ns", ms_from_ns, METH_O, nullptr},
    {"quote", quote, METH_O, nullptr},
    {"uuid4_text", uuid4_text, METH_NOARGS, nullptr},
    {"hmac_hex", hmac_hex, METH_VARARGS, nullptr},
    {"clock_is_native", clock_is_native, METH_NOARGS, nullptr},
    {"fast_paths", fast_paths, METH_NOARGS, nullptr},
    {"guard_overflows", guard_overflows, METH_NOARGS, nullptr},
    {"poll", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(poll)), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"clock_reads", clock_reads, METH_NOARGS, nullptr},
    {"polls", polls, METH_NOARGS, nullptr},
    {"release_clock", release_clock, METH_NOARGS, nullptr},
    {"tick", tick, METH_NOARGS, nullptr},
    {"reset_clock", reset_clock, METH_VARARGS, nullptr},
    {"queue_pending_call", queue_pending_call, METH_VARARGS, nullptr},
    {"served_reads", served_reads, METH_NOARGS, nullptr},
    {"request_from_plain_thread", request_from_plain_thread, METH_VARARGS, nullptr},
    {"served", served, METH_NOARGS, nullptr},
    {"plain_thread_outcome", plain_thread_outcome, METH_NOARGS, nullptr},
    {"trust_layout", trust_layout, METH_O, nullptr},
    {"layout_trusted", layout_trusted, METH_NOARGS, nullptr},
    {"optimized_print", optimized_print, METH_O, nullptr},
    {"get_current_timestamp", get_current_timestamp, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_qv_internals", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__qv_internals() {
    if (borrow_quorvane_state() < 0) return nullptr;
    return PyModule_Create(&module_def);
}
