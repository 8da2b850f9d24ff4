// The static operations of MewStatic, as FunctionDecl bodies (see codec_module.cpp for their
// signatures). Each takes its bound arguments and returns a new reference or null.
#pragma once
#include "runtime/function.hpp"

namespace ozu::mew::codec {

using py::BoundArgs;

// Frame format and checks.
PyObject* calc_crc(BoundArgs& a);
PyObject* crc_is_ok(BoundArgs& a);
PyObject* calc_tail(BoundArgs& a);
PyObject* append_tail(BoundArgs& a);
PyObject* find_station_end(BoundArgs& a);
PyObject* command_start_position(BoundArgs& a);
PyObject* parse_command(BoundArgs& a);
PyObject* frame_type(BoundArgs& a);
PyObject* is_feedback(BoundArgs& a);
PyObject* is_query(BoundArgs& a);
PyObject* is_error(BoundArgs& a);
PyObject* header_matched(BoundArgs& a);
PyObject* parse_station(BoundArgs& a);

// Field encodings.
PyObject* parse_contact_address(BoundArgs& a);
PyObject* parse_register_address(BoundArgs& a);
PyObject* parse_uint16(BoundArgs& a);
PyObject* parse_int16(BoundArgs& a);
PyObject* parse_uint32(BoundArgs& a);
PyObject* parse_int32(BoundArgs& a);
PyObject* fill_header(BoundArgs& a);
PyObject* fill_contact_address(BoundArgs& a);
PyObject* fill_uint16(BoundArgs& a);
PyObject* fill_int16(BoundArgs& a);
PyObject* fill_uint32(BoundArgs& a);
PyObject* fill_int32(BoundArgs& a);

// Request builders.
PyObject* fill_read_single_point_of_contact_message(BoundArgs& a);
PyObject* fill_write_single_point_of_contact_message(BoundArgs& a);
PyObject* fill_read_word_unit_of_contact_message(BoundArgs& a);
PyObject* fill_write_word_unit_of_contact_message(BoundArgs& a);
PyObject* fill_read_data_area_message(BoundArgs& a);
PyObject* fill_write_data_area_message(BoundArgs& a);
PyObject* fill_write_single_data_message(BoundArgs& a);

// The signature of fill_write_data_area_message, to recognise the class's own operation.
const py::FunctionDecl& write_data_area_decl();

}  // namespace ozu::mew::codec
