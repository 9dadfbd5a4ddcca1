// Body of listen_for_trades: busy-polls the wall clock, prints the time left
// on every pass, and once fewer than 100 ms remain awaits buy_market_order
// (await point 1) and prints how long it took. The loop has no exit: every
// pass after the opening places another order.
//
// The polling phase never suspends and, with the clocks written in C, runs
// no bytecode, so every pass serves the interpreter's requests as the eval
// loop would between two instructions: signal handlers, pending calls, an
// exception set on the thread from outside, and a thread waiting for the
// lock. Otherwise a Ctrl-C, a host stopping its worker thread or any other
// thread would wait until the opening time, possibly hours later.
#include "coroutine/await.h"
#include "coroutine/closure.h"
#include "module/constants.h"
#include "module/globals.h"
#include "module/original_attr.h"
#include "module/shared_ops.h"
#include "module/traceback.h"
#include "order/bodies.h"
#include "order/body_support.h"
#include "order/clock_output.h"
#include "order/fast_paths.h"
#include "order/native_poll.h"

namespace qv {

namespace {

constexpr const char* kBody = "listen_for_trades";

using Record = ListenForTradesRecord;

GlobalSite buy_market_order_site;

// [84] "Time from opening:" + format(time_left, "")
int print_time_left(Record* r) {
    Ref left_text = text_form(r->time_left.get());
    if (!left_text) return -1;
    Ref line = Ref::steal(PyUnicode_Concat(text::time_from_opening.get(), left_text.get()));
    if (!line) return -1;
    return optimized_print(line.get()) ? 0 : -1;
}

// [85] time_left < 100, after serving the interpreter's requests: so it may
// run Python code (signal handlers, pending calls) and let other threads run
// before it compares. 1, 0, or -1 with the exception set.
int serve_requests_then_below_threshold(Record* r, const InterpreterRequests& requests) {
    if (requests.serve() < 0) return -1;
    Ref below = Ref::steal(PyObject_RichCompare(r->time_left.get(), g.int_100.get(), Py_LT));
    if (!below) return -1;
    return truth(below.get());
}

// [87] buy_market_order(api_key, secret_key, token_symbol.upper(), quantity)
Ref start_order(Record* r) {
    Ref order = lookup_global(id::buy_market_order, buy_market_order_site);
    if (!order) return order;
    Ref symbol = call_method0(r->token_symbol.get(), id::upper);
    if (!symbol) return symbol;
    Ref quantity = Ref::steal(PyFloat_FromDouble(r->buy_token_quantity));
    if (!quantity) return quantity;
    PyObject* args[] = {r->api_key.get(), r->secret_key.get(), symbol.get(), quantity.get()};
    return call(order.get(), args, 4);
}

// [89] "Buy order took " + format(time_end - time_start, "") + " ms"
int print_latency(Record* r) {
    Ref took = Ref::steal(PyNumber_Subtract(r->time_end.get(), r->time_start.get()));
    if (!took) return -1;
    Ref took_text = text_form(took.get());
    if (!took_text) return -1;
    Ref line = join3(text::took.get(), took_text.get(), text::ms.get());
    if (!line) return -1;
    return optimized_print(line.get()) ? 0 : -1;
}

// Polls natively while the module global `time` and its `time` are what
// start-up found and the opening time fits a C integer (see
// poll_until_crossed). Returns 1 once fewer than 100 ms are left
// (current_timestamp and time_left stored), 0 to let the general pass take
// over (something was rebound, or a value left the C range), -1 when serving
// the interpreter's requests or checking the clock's guard raised.
int poll_natively(Record* r) {
    if (!PyLong_CheckExact(r->open_trade_time.get())) return 0;
    int overflow = 0;
    long long opening = PyLong_AsLongLongAndOverflow(r->open_trade_time.get(), &overflow);
    if (overflow || (opening == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return 0;
    }
    long long now, left;
    int crossed = poll_until_crossed(
        opening,
        [](long long* ms) {
            int native = fast.time_time.check();
            return native <= 0 ? native : realtime_ms(ms) ? 1 : 0;
        },
        &now, &left);
    if (crossed <= 0) return crossed;
    Ref now_obj = Ref::steal(PyLong_FromLongLong(now));
    if (!now_obj) return -1;
    Ref left_obj = Ref::steal(PyLong_FromLongLong(left));
    if (!left_obj) return -1;
    r->current_timestamp.set(std::move(now_obj));
    r->time_left.set(std::move(left_obj));
    return 1;
}

}  // namespace

PyObject* listen_for_trades_body(Coroutine* self, PyThreadState*, PyObject* sent) {
    auto* r = reinterpret_cast<Record*>(self->closure.get());
    Ref awaitable, result;
    PyObject* yielded = nullptr;
    const InterpreterRequests requests;
    // Each failure site notes its own line, so that with the implementation
    // line shown a record points at the statement that failed.
    SourceLine line = QV_LINE(79);

    switch (self->resume_label) {
        case 0:
            if (!sent) goto leave_with_error;
            break;
        case 1:
            line = QV_LINE(87);
            if (!sent) goto leave_with_error;
            goto order_done;
        default:
            return nullptr;
    }

    // [80] open_trade_time = int(open_trade_time)
    line = QV_LINE(80);
    {
        Ref opening = Ref::steal(PyNumber_Long(r->open_trade_time.get()));
        if (!opening) goto leave_with_error;
        r->open_trade_time.set(std::move(opening));
    }

    for (;;) {
        line = QV_LINE(85);
        switch (poll_natively(r)) {
            case -1:
                goto leave_with_error;
            case 1:
                goto crossed;
            default:
                break;
        }
        line = QV_LINE(82);
        {
            Ref now = get_current_timestamp();
            if (!now) goto leave_with_error;
            r->current_timestamp.set(std::move(now));
        }
        line = QV_LINE(83);
        {
            Ref left = Ref::steal(PyNumber_Subtract(r->open_trade_time.get(), r->current_timestamp.get()));
            if (!left) goto leave_with_error;
            r->time_left.set(std::move(left));
        }
        line = QV_LINE(84);
        if (print_time_left(r) < 0) goto leave_with_error;
        line = QV_LINE(85);
        {
            int crossed = serve_requests_then_below_threshold(r, requests);
            if (crossed < 0) goto leave_with_error;
            if (!crossed) continue;
        }
    crossed:
        line = QV_LINE(86);
        {
            Ref start = get_current_timestamp();
            if (!start) goto leave_with_error;
            r->time_start.set(std::move(start));
        }
        line = QV_LINE(87);
        awaitable = start_order(r);
        if (!awaitable) goto leave_with_error;
        yielded = await_step(self, awaitable.get());
        awaitable.reset();
        if (yielded) return suspend_at(self, 1, yielded);
        result = finished_await_result();
        if (!result) goto leave_with_error;
    order_done:
        result.reset();
        line = QV_LINE(88);
        {
            Ref end = get_current_timestamp();
            if (!end) goto leave_with_error;
            r->time_end.set(std::move(end));
        }
        line = QV_LINE(89);
        if (print_latency(r) < 0) goto leave_with_error;
    }

leave_with_error:
    QV_TRACEBACK_NOTED(kBody, line);
    return finish_body(self, false);
}

}  // namespace qv
