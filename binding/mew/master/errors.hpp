// The typed failures of a query. Each derives from OSError (the type the query has always
// raised), so `except OSError` still catches every one, and keeps the message it always had.
//
//   MewError (OSError)                       base of the family
//   MewTimeoutError (MewError, TimeoutError) no answer within query_timeout
//   MewAnswerError (MewError)                an answer that is malformed or not this query's
//   MewAnswerValueError (MewAnswerError, ValueError)  an answer field that does not parse
//   MewAnswerIndexError (MewAnswerError, IndexError)  an answer too short to parse
//   MewStationError (MewError)               the station answered with an error code
//   MewLinkError (MewError, ConnectionError) the link was closed, or its channel failed
#pragma once
#include "runtime/handle.hpp"

namespace ozu::mew::master {

// Creates the classes and binds them in the module namespace, in the order above.
bool add_error_classes(PyObject* module_dict);

// Each raises its class with `message` (a new reference, may be null after a failed format);
// all return null.
PyObject* raise_timeout(py::Handle message);
PyObject* raise_answer_error(py::Handle message);
PyObject* raise_link_error(py::Handle message, PyObject* cause);
// code: the error code as an int or None; station: the station's number; command: the
// request's command letters.
PyObject* raise_station_error(py::Handle message, PyObject* code, PyObject* station, PyObject* command);

// With exactly a ValueError or IndexError pending from parsing an answer, replaces it by the
// MewAnswerValueError / MewAnswerIndexError with the same message, the original as its cause.
// Any other pending error (a subclass such as UnicodeError included) is left as it is. Returns null.
PyObject* retype_parse_error();

}  // namespace ozu::mew::master
