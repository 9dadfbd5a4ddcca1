// Body of buy_market_order: one signed MARKET BUY "order.place" request over
// a new connection, one reply read, one outcome line printed.
//
// The await points (the values of the coroutine's resume label) are named by
// AwaitPoint; which value is parked in which of the closure record's eight
// temporaries while the body is suspended is laid down once, beside
// ParkedValue and ParkedTriple below.
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
#include "order/sign_request.h"

#include <cstring>
#include <type_traits>

namespace qv {

namespace {

constexpr const char* kBody = "buy_market_order";             // a failure leaving the body
constexpr const char* kBlock = "quorvane_3.buy_market_order";  // a failure inside the connection block

using Record = BuyMarketOrderRecord;

struct Sites {
    GlobalSite uuid, time, urllib, hmac, hashlib, websockets, json_dumps, json_loads;
};
Sites sites;

// ------------------------------------------------------------ order content

// [35] str(uuid.uuid4())
int make_unique_id(Record* r) {
    int native = fast.uuid_uuid4.check();
    if (native < 0) return -1;
    if (native) {
        Ref text = uuid4_text();
        if (!text) return -1;
        r->unique_id.set(std::move(text));
        return 0;
    }
    Ref uuid = lookup_global(id::uuid, sites.uuid);
    if (!uuid) return -1;
    Ref u = call_method0(uuid.get(), id::uuid4);
    if (!u) return -1;
    Ref text = Ref::steal(PyObject_Str(u.get()));
    if (!text) return -1;
    r->unique_id.set(std::move(text));
    return 0;
}

// [36] int(time.time() * 1000)
int make_timestamp(Record* r) {
    Ref now = wall_clock_ms(sites.time);
    if (!now) return -1;
    r->timestamp.set(std::move(now));
    return 0;
}

// [39], [42] for the quantity text: the parameters in the exchange's order.
int make_params(Record* r, SourceLine* line) {
    *line = QV_LINE(39);
    // Sized for all seven entries (the signature comes later), as a dict
    // display would be: no resize on the way.
    Ref params = Ref::steal(_PyDict_NewPresized(7));
    if (!params) return -1;
    if (PyDict_SetItem(params.get(), text::symbol.get(), r->symbol.get()) < 0 ||
        PyDict_SetItem(params.get(), text::side.get(), text::BUY.get()) < 0 ||
        PyDict_SetItem(params.get(), text::type.get(), text::MARKET.get()) < 0) {
        return -1;
    }
    *line = QV_LINE(42);
    Ref quantity = Ref::steal(PyFloat_FromDouble(r->buy_token_quantity));
    if (!quantity) return -1;
    Ref quantity_text = text_form(quantity.get());
    if (!quantity_text) return -1;
    if (PyDict_SetItem(params.get(), text::quantity.get(), quantity_text.get()) < 0) return -1;
    *line = QV_LINE(39);
    if (PyDict_SetItem(params.get(), text::timestamp.get(), r->timestamp.get()) < 0 ||
        PyDict_SetItem(params.get(), text::apiKey.get(), r->api_key.get()) < 0) {
        return -1;
    }
    r->params.set(std::move(params));
    return 0;
}

// One "key=quoted value" piece of the signed text from one (key, value)
// pair of params.items(); key and value are stored in the record as the
// loop variables. Only reached when urllib.parse.quote may not be the
// original (the native query string covers the rest).
Ref query_piece(Record* r, PyObject* pair) {
    r->key.set(Ref::borrow(PyTuple_GET_ITEM(pair, 0)));
    r->value.set(Ref::borrow(PyTuple_GET_ITEM(pair, 1)));

    Ref key_text = text_form(r->key.get());
    if (!key_text) return key_text;
    Ref urllib = lookup_global(id::urllib, sites.urllib);
    if (!urllib) return urllib;
    Ref parse = Ref::steal(PyObject_GetAttr(urllib.get(), id::parse.str.get()));
    if (!parse) return parse;
    Ref quote = Ref::steal(PyObject_GetAttr(parse.get(), id::quote.str.get()));
    if (!quote) return quote;
    Ref value_text = Ref::steal(PyObject_Str(r->value.get()));
    if (!value_text) return value_text;
    Ref quoted = call1(quote.get(), value_text.get());
    if (!quoted) return quoted;
    Ref quoted_text = text_form(quoted.get());
    if (!quoted_text) return quoted_text;
    return join3(key_text.get(), text::eq.get(), quoted_text.get());
}

// What writing the signed text directly came to.
enum class NativeQuery { kFailed, kDone, kUseGeneralPath };

// The signed text written directly: params holds exactly the six keys that
// make_params put there, so sorting its items always gives the order apiKey,
// quantity, side, symbol, timestamp, type, and each piece is the key, "=" and
// quote(str(value)). Used while urllib.parse.quote is the original.
NativeQuery make_query_string_natively(Record* r) {
    Ref quantity_text = Ref::borrow(PyDict_GetItemWithError(r->params.get(), text::quantity.get()));
    if (!quantity_text) return PyErr_Occurred() ? NativeQuery::kFailed : NativeQuery::kUseGeneralPath;
    static constexpr const char* kKeys[6] = {"apiKey=", "&quantity=", "&side=", "&symbol=", "&timestamp=", "&type="};
    // str() below runs no Python code: the key and the symbol are exact str
    // or None (the entries accept nothing else), the quantity text is a
    // float's text form, the timestamp an exact int (wall_clock_ms gives
    // nothing else) and side and type are constants. So nothing can change
    // params under this loop; the quantity text is held all the same.
    PyObject* const sources[6] = {r->api_key.get(), quantity_text.get(), text::BUY.get(),
                                  r->symbol.get(),  r->timestamp.get(),  text::MARKET.get()};
    Ref values[6];
    const char* utf8[6];
    Py_ssize_t lengths[6];
    Py_ssize_t total = 0;
    for (int i = 0; i < 6; ++i) {
        // str() of a str is the str itself; it gives a str or fails.
        values[i] = Ref::steal(PyObject_Str(sources[i]));
        if (!values[i]) return NativeQuery::kFailed;
        utf8[i] = PyUnicode_AsUTF8AndSize(values[i].get(), &lengths[i]);
        if (!utf8[i]) return NativeQuery::kFailed;
        total += static_cast<Py_ssize_t>(std::strlen(kKeys[i])) + quoted_length(utf8[i], lengths[i]);
    }
    Ref joined = Ref::steal(PyUnicode_New(total, 127));
    if (!joined) return NativeQuery::kFailed;
    auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(joined.get()));
    for (int i = 0; i < 6; ++i) {
        size_t key_len = std::strlen(kKeys[i]);
        std::memcpy(out, kKeys[i], key_len);
        out = write_quoted(out + key_len, utf8[i], lengths[i]);
    }
    r->query_string.set(std::move(joined));
    // The loop variables end on the last pair, as the general path leaves them.
    r->key.set(text::type.ref());
    r->value.set(text::MARKET.ref());
    return NativeQuery::kDone;
}

// [47] "&".join(f"{k}={quote(str(v))}" for k, v in sorted(params.items()))
int make_query_string(Record* r) {
    int native = fast.quote.check();
    if (native < 0) return -1;
    if (native && PyDict_CheckExact(r->params.get()) && PyDict_GET_SIZE(r->params.get()) == 6) {
        switch (make_query_string_natively(r)) {
            case NativeQuery::kFailed:
                return -1;
            case NativeQuery::kDone:
                return 0;
            case NativeQuery::kUseGeneralPath:
                break;
        }
    }
    Ref items = Ref::steal(PyDict_Items(r->params.get()));
    if (!items) return -1;
    if (PyList_Sort(items.get()) < 0) return -1;
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref piece = query_piece(r, PyList_GET_ITEM(items.get(), i));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return -1;
    }
    Ref joined = Ref::steal(PyUnicode_Join(text::amp.get(), pieces.get()));
    if (!joined) return -1;
    r->query_string.set(std::move(joined));
    return 0;
}

// [48] hmac.new(secret, query, hashlib.sha256).hexdigest()
int make_signature(Record* r) {
    int native = native_signing_possible();
    if (native < 0) return -1;
    if (native) {
        if (!utf8_argument_checked(r->secret_key.get()) || !utf8_argument_checked(r->query_string.get())) {
            return -1;
        }
        Ref hex = hmac_sha256_text(r->secret_key.get(), r->query_string.get());
        if (!hex) return -1;
        r->signature.set(std::move(hex));
        return 0;
    }
    Ref hmac = lookup_global(id::hmac, sites.hmac);
    if (!hmac) return -1;
    Ref make = Ref::steal(PyObject_GetAttr(hmac.get(), id::new_.str.get()));
    if (!make) return -1;
    Ref secret = encode_utf8_argument(r->secret_key.get());
    if (!secret) return -1;
    Ref message = encode_utf8_argument(r->query_string.get());
    if (!message) return -1;
    Ref hashlib = lookup_global(id::hashlib, sites.hashlib);
    if (!hashlib) return -1;
    Ref digest = Ref::steal(PyObject_GetAttr(hashlib.get(), id::sha256.str.get()));
    if (!digest) return -1;
    PyObject* args[] = {secret.get(), message.get(), digest.get()};
    Ref mac = call(make.get(), args, 3);
    if (!mac) return -1;
    Ref hex = call_method0(mac.get(), id::hexdigest);
    if (!hex) return -1;
    if (hex.get() != Py_None && !PyUnicode_CheckExact(hex.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(hex.get())->tp_name);
        return -1;
    }
    r->signature.set(std::move(hex));
    return 0;
}

// [52] {"id": ..., "method": "order.place", "params": params}
int make_request_payload(Record* r) {
    Ref payload = Ref::steal(_PyDict_NewPresized(3));
    if (!payload) return -1;
    if (PyDict_SetItem(payload.get(), text::id.get(), r->unique_id.get()) < 0 ||
        PyDict_SetItem(payload.get(), text::method.get(), text::order_place.get()) < 0 ||
        PyDict_SetItem(payload.get(), text::params.get(), r->params.get()) < 0) {
        return -1;
    }
    r->request_payload.set(std::move(payload));
    return 0;
}

// Steps before the connection; *line is the failing statement's line.
int build_order(Record* r, SourceLine* line) {
    *line = QV_LINE(35);
    if (make_unique_id(r) < 0) return -1;
    *line = QV_LINE(36);
    if (make_timestamp(r) < 0) return -1;
    if (make_params(r, line) < 0) return -1;
    *line = QV_LINE(47);
    if (make_query_string(r) < 0) return -1;
    *line = QV_LINE(48);
    if (make_signature(r) < 0) return -1;
    *line = QV_LINE(49);
    if (PyDict_SetItem(r->params.get(), text::signature.get(), r->signature.get()) < 0) return -1;
    *line = QV_LINE(52);
    if (make_request_payload(r) < 0) return -1;
    r->response.set(Ref::borrow(Py_None));
    return 0;
}

// ------------------------------------------------------------ in the block

// [58] websockets.connect(WEBSOCKET_API_URL), its __aexit__ and __aenter__.
Ref open_connection_manager(Ref* aexit, Ref* aenter) {
    Ref websockets = lookup_global(id::websockets, sites.websockets);
    if (!websockets) return websockets;
    Ref manager = call_method1(websockets.get(), id::connect, g.websocket_api_url.get());
    if (!manager) return manager;
    *aexit = lookup_special(manager.get(), id::aexit);
    if (!*aexit) return Ref();
    *aenter = lookup_special(manager.get(), id::aenter);
    if (!*aenter) return Ref();
    return manager;
}

// [59] websocket.send(json.dumps(request_payload))
Ref start_send(Record* r) {
    Method send = Method::load(r->websocket.get(), id::send);
    if (!send) return Ref();
    Ref json = lookup_global(id::json, sites.json_dumps);
    if (!json) return json;
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), id::dumps.str.get()));
    if (!dumps) return dumps;
    Ref request_text = call1(dumps.get(), r->request_payload.get());
    if (!request_text) return request_text;
    return send.call1(request_text.get());
}

// [61] to [65]: decode the reply and print the outcome.
int report_reply(Record* r, SourceLine* line) {
    *line = QV_LINE(61);
    Ref json = lookup_global(id::json, sites.json_loads);
    if (!json) return -1;
    Ref loads = Ref::steal(PyObject_GetAttr(json.get(), id::loads.str.get()));
    if (!loads) return -1;
    Ref data = call1(loads.get(), r->response.get());
    if (!data) return -1;
    r->response_data.set(std::move(data));

    *line = QV_LINE(62);
    int rejected = PySequence_Contains(r->response_data.get(), text::error.get());
    if (rejected < 0) return -1;
    Ref line_text;
    if (rejected) {
        *line = QV_LINE(63);
        Ref error = Ref::steal(PyObject_GetItem(r->response_data.get(), text::error.get()));
        if (!error) return -1;
        Ref error_text = text_form(error.get());
        if (!error_text) return -1;
        line_text = Ref::steal(PyUnicode_Concat(text::placed_failed.get(), error_text.get()));
    } else {
        *line = QV_LINE(65);
        Ref data_text = text_form(r->response_data.get());
        if (!data_text) return -1;
        line_text = Ref::steal(PyUnicode_Concat(text::placed_ok.get(), data_text.get()));
    }
    if (!line_text) return -1;
    Ref printed = call1(g.print.get(), line_text.get());
    return printed ? 0 : -1;
}

// ------------------------------------------------------------ suspending

// The body's await points in source order; the resume label holds the one
// at which the body is suspended.
enum AwaitPoint : int32_t {
    kNotStarted = 0,
    kAwaitEnter = 1,       // __aenter__()
    kAwaitSend = 2,        // websocket.send(json.dumps(request_payload))
    kAwaitRecv = 3,        // websocket.recv()
    kAwaitExitFailed = 4,  // __aexit__(type, value, traceback) after a failure in the block
    kAwaitExit = 5,        // __aexit__(None, None, None) after the block's normal end
};

// The record's eight temporaries, by what they hold while the body is
// suspended. An exception triple takes three in a row (type, value,
// traceback).
//
//   temps[0]     ParkedValue::kManager      the connection manager         point 1
//   temps[1]     ParkedValue::kExit         the bound __aexit__            points 1, 2, 3
//   temps[2..4]  ParkedTriple::kRemembered  the handled exception current
//                                           when the block was entered     points 2, 3, 4
//   temps[5..7]  ParkedTriple::kFailure     the failure being handed to
//                                           __aexit__                      point 4
//
// Point 5 parks nothing. Resuming takes each value back out and leaves its
// temporaries empty.
enum class ParkedValue { kManager = 0, kExit = 1 };
enum class ParkedTriple { kRemembered = 2, kFailure = 5 };
static_assert(static_cast<size_t>(ParkedTriple::kFailure) + 3 == std::extent_v<decltype(Record::temps)>,
              "the parked values fill the temporaries exactly");

Slot& temp(Record* r, ParkedValue where) { return r->temps[static_cast<int>(where)]; }
// The type (0), value (1) or traceback (2) of a parked triple.
Slot& temp(Record* r, ParkedTriple where, int offset) { return r->temps[static_cast<int>(where) + offset]; }

void park(Record* r, ParkedValue where, Ref value) { temp(r, where).set(std::move(value)); }
Ref unpark(Record* r, ParkedValue where) { return temp(r, where).take(); }

void park(Record* r, ParkedTriple where, ExcTriple t) {
    temp(r, where, 0).set(std::move(t.type));
    temp(r, where, 1).set(std::move(t.value));
    temp(r, where, 2).set(std::move(t.traceback));
}
ExcTriple unpark(Record* r, ParkedTriple where) {
    return ExcTriple{temp(r, where, 0).take(), temp(r, where, 1).take(), temp(r, where, 2).take()};
}

// Suspends at an await inside the connection block (send or recv), parking
// what leaving the block needs.
PyObject* suspend_in_block(Coroutine* self, Record* r, AwaitPoint point, PyObject* yielded, Ref& aexit,
                           ExcTriple& remembered) {
    park(r, ParkedValue::kExit, std::move(aexit));
    park(r, ParkedTriple::kRemembered, std::move(remembered));
    return suspend_at(self, point, yielded);
}

}  // namespace

PyObject* buy_market_order_body(Coroutine* self, PyThreadState* tstate, PyObject* sent) {
    auto* r = reinterpret_cast<Record*>(self->closure.get());
    Ref manager, aexit, aenter, awaitable, result;
    ExcTriple remembered;  // handled exception current when the block was entered
    ExcTriple failure;     // the failure handed to __aexit__
    SourceLine line = QV_LINE(34);
    PyObject* yielded = nullptr;

    // Resuming: the parked values come back out, then the body continues
    // after the await it was suspended at, or, with nothing sent (an
    // exception pending), takes that await's error path.
    switch (self->resume_label) {
        case kNotStarted:
            if (!sent) goto leave_with_error;
            break;
        case kAwaitEnter:
            manager = unpark(r, ParkedValue::kManager);
            aexit = unpark(r, ParkedValue::kExit);
            line = QV_LINE(58);
            if (!sent) goto leave_with_error;
            result = Ref::borrow(sent);
            goto resume_entered;
        case kAwaitSend:
            aexit = unpark(r, ParkedValue::kExit);
            remembered = unpark(r, ParkedTriple::kRemembered);
            line = QV_LINE(59);
            if (!sent) goto block_failed;
            goto resume_sent;
        case kAwaitRecv:
            aexit = unpark(r, ParkedValue::kExit);
            remembered = unpark(r, ParkedTriple::kRemembered);
            line = QV_LINE(60);
            if (!sent) goto block_failed;
            result = Ref::borrow(sent);
            goto resume_received;
        case kAwaitExitFailed:
            remembered = unpark(r, ParkedTriple::kRemembered);
            failure = unpark(r, ParkedTriple::kFailure);
            if (!sent) goto exit_call_failed;
            result = Ref::borrow(sent);
            goto resume_exit_answered;
        case kAwaitExit:
            line = QV_LINE(58);
            if (!sent) goto leave_with_error;
            return finish_body(self, true);
        default:
            return nullptr;
    }

    // Signed order, built before the connection is opened.
    if (build_order(r, &line) < 0) goto leave_with_error;

    // async with websockets.connect(WEBSOCKET_API_URL) as websocket:
    line = QV_LINE(58);
    manager = open_connection_manager(&aexit, &aenter);
    if (!manager) goto leave_with_error;
    awaitable = call0(aenter.get());
    aenter.reset();
    if (!awaitable) goto leave_with_error;
    yielded = await_step(self, awaitable.get());
    awaitable.reset();
    if (yielded) {
        park(r, ParkedValue::kManager, std::move(manager));
        park(r, ParkedValue::kExit, std::move(aexit));
        return suspend_at(self, kAwaitEnter, yielded);
    }
    result = finished_await_result();
    if (!result) goto leave_with_error;
resume_entered:
    // After `await __aenter__()`: result is the connection; manager and aexit held.
    manager.reset();
    r->websocket.set(std::move(result));
    remembered = current_handled_exception(tstate);

    // await websocket.send(json.dumps(request_payload))
    line = QV_LINE(59);
    awaitable = start_send(r);
    if (!awaitable) goto block_failed;
    yielded = await_step(self, awaitable.get());
    awaitable.reset();
    if (yielded) return suspend_in_block(self, r, kAwaitSend, yielded, aexit, remembered);
    result = finished_await_result();
    if (!result) goto block_failed;
resume_sent:
    // After `await websocket.send(...)`: result (if any) is unused; aexit and remembered held.
    result.reset();

    // response = await websocket.recv()
    line = QV_LINE(60);
    awaitable = call_method0(r->websocket.get(), id::recv);
    if (!awaitable) goto block_failed;
    yielded = await_step(self, awaitable.get());
    awaitable.reset();
    if (yielded) return suspend_in_block(self, r, kAwaitRecv, yielded, aexit, remembered);
    result = finished_await_result();
    if (!result) goto block_failed;
resume_received:
    // After `await websocket.recv()`: result is the reply; aexit and remembered held.
    r->response.set(std::move(result));

    if (report_reply(r, &line) < 0) goto block_failed;

    // Normal end of the block: __aexit__(None, None, None), result unused.
    line = QV_LINE(58);
    remembered = ExcTriple{};
    awaitable = call(aexit.get(), &PyTuple_GET_ITEM(g.none3.get(), 0), 3);
    aexit.reset();
    if (!awaitable) goto leave_with_error;
    yielded = await_step(self, awaitable.get());
    awaitable.reset();
    if (yielded) return suspend_at(self, kAwaitExit, yielded);
    result = finished_await_result();
    if (!result) goto leave_with_error;
    return finish_body(self, true);

block_failed:
    // The exception leaves the block: __aexit__ sees it as the one being
    // handled, and may suppress it.
    QV_TRACEBACK_NOTED(kBlock, line);
    failure = take_pending_as_handled(tstate);
    {
        PyObject* args[] = {failure.type.get(), failure.value.get(), failure.traceback.get()};
        if (!args[0]) args[0] = Py_None;
        if (!args[1]) args[1] = Py_None;
        if (!args[2]) args[2] = Py_None;
        awaitable = call(aexit.get(), args, 3);
    }
    aexit.reset();
    if (!awaitable) goto exit_call_failed;
    yielded = await_step(self, awaitable.get());
    awaitable.reset();
    if (yielded) {
        park(r, ParkedTriple::kRemembered, std::move(remembered));
        park(r, ParkedTriple::kFailure, std::move(failure));
        return suspend_at(self, kAwaitExitFailed, yielded);
    }
    result = finished_await_result();
    if (!result) goto exit_call_failed;
resume_exit_answered: {
    // After `await __aexit__(type, value, traceback)`: result is its answer;
    // failure and remembered held.
    int suppress = truth(result.get());
    result.reset();
    if (suppress < 0) goto exit_call_failed;
    set_handled_exception(tstate, std::move(remembered));
    if (suppress) return finish_body(self, true);
    PyErr_Restore(failure.type.release(), failure.value.release(), failure.traceback.release());
    line = QV_LINE(58);
    goto leave_with_error;
}

exit_call_failed:
    // __aexit__ itself, its await or the truth test raised: that exception
    // leaves the body instead.
    set_handled_exception(tstate, std::move(remembered));
    line = QV_LINE(58);

leave_with_error:
    QV_TRACEBACK_NOTED(kBody, line);
    return finish_body(self, false);
}

}  // namespace qv
