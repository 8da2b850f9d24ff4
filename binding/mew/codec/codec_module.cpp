// MewStatic: the protocol's constants and static operations, as an ordinary class of the module.
#include "codec/codec_ops.hpp"
#include "codec/codec_support.hpp"
#include "module/subsystems.hpp"
#include "ozu/codec/frame.hpp"

#include <string_view>

namespace ozu::mew {
namespace {

using py::Check;
using py::Default;
using py::FunctionDecl;
namespace ops = codec;
namespace core = ozu::codec;

constexpr Check Str = Check::Str;
constexpr Check Int = Check::Int;
constexpr Check Any = Check::Any;

const FunctionDecl kCalcCrc{"calc_crc", {{"data", Str}, {"init", Any, Default::integer(0)}}, ops::calc_crc};
const FunctionDecl kCrcIsOk{"crc_is_ok", {{"frame", Str}}, ops::crc_is_ok};
const FunctionDecl kCalcTail{"calc_tail", {{"data", Str}}, ops::calc_tail};
const FunctionDecl kAppendTail{"append_tail", {{"data", Str}}, ops::append_tail};
const FunctionDecl kFindStationEnd{"find_station_end", {{"data", Str}}, ops::find_station_end};
const FunctionDecl kCommandStartPosition{"command_start_position", {{"data", Str}}, ops::command_start_position};
const FunctionDecl kParseCommand{"parse_command", {{"data", Str}}, ops::parse_command};
const FunctionDecl kFrameType{"frame_type", {{"data", Str}}, ops::frame_type};
const FunctionDecl kIsFeedback{"is_feedback", {{"data", Str}}, ops::is_feedback};
const FunctionDecl kIsQuery{"is_query", {{"data", Str}}, ops::is_query};
const FunctionDecl kIsError{"is_error", {{"data", Str}}, ops::is_error};
const FunctionDecl kHeaderMatched{"header_matched", {{"tx", Str}, {"rx", Str}}, ops::header_matched};
const FunctionDecl kParseStation{"parse_station", {{"data", Str}}, ops::parse_station};

const FunctionDecl kParseContactAddress{"parse_contact_address", {{"address", Str}}, ops::parse_contact_address};
const FunctionDecl kParseRegisterAddress{"parse_register_address", {{"address", Str}}, ops::parse_register_address};
const FunctionDecl kParseUint16{"parse_uint16", {{"data", Str}}, ops::parse_uint16};
const FunctionDecl kParseInt16{"parse_int16", {{"data", Str}}, ops::parse_int16};
const FunctionDecl kParseUint32{"parse_uint32", {{"data", Str}}, ops::parse_uint32};
const FunctionDecl kParseInt32{"parse_int32", {{"data", Str}}, ops::parse_int32};
const FunctionDecl kFillHeader{"fill_header", {{"station", Int}, {"cmd", Str}}, ops::fill_header};
const FunctionDecl kFillContactAddress{"fill_contact_address", {{"data", Str}, {"address", Str}}, ops::fill_contact_address};
const FunctionDecl kFillUint16{"fill_uint16", {{"data", Str}, {"value", Any}}, ops::fill_uint16};
const FunctionDecl kFillInt16{"fill_int16", {{"data", Str}, {"value", Any}}, ops::fill_int16};
const FunctionDecl kFillUint32{"fill_uint32", {{"data", Str}, {"value", Any}}, ops::fill_uint32};
const FunctionDecl kFillInt32{"fill_int32", {{"data", Str}, {"value", Any}}, ops::fill_int32};

const FunctionDecl kReadContact{"fill_read_single_point_of_contact_message",
                                {{"station", Int}, {"contact", Str}},
                                ops::fill_read_single_point_of_contact_message};
const FunctionDecl kWriteContact{"fill_write_single_point_of_contact_message",
                                 {{"station", Int}, {"contact", Str}, {"value", Any}},
                                 ops::fill_write_single_point_of_contact_message};
const FunctionDecl kReadContactWords{"fill_read_word_unit_of_contact_message",
                                     {{"station", Int},
                                      {"contact_start", Str},
                                      {"contact_end", Str, Default::none()},
                                      {"word_count", Int, Default::none()}},
                                     ops::fill_read_word_unit_of_contact_message};
const FunctionDecl kWriteContactWords{"fill_write_word_unit_of_contact_message",
                                      {{"station", Int}, {"contact_start", Str}, {"values", Any}},
                                      ops::fill_write_word_unit_of_contact_message};
const FunctionDecl kReadRegisters{"fill_read_data_area_message",
                                  {{"station", Int}, {"reg_start", Str}, {"reg_count", Int}},
                                  ops::fill_read_data_area_message};
const FunctionDecl kWriteRegisters{"fill_write_data_area_message",
                                   {{"station", Int}, {"reg_start", Str}, {"values", Any}},
                                   ops::fill_write_data_area_message};
const FunctionDecl kWriteRegister{"fill_write_single_data_message",
                                  {{"station", Int}, {"reg", Str}, {"value", Int}},
                                  ops::fill_write_single_data_message};

// Class members in the order the class defines them: constants first, then the operations.
const FunctionDecl* const kOperations[] = {
    &kCalcCrc, &kCrcIsOk, &kCalcTail, &kAppendTail, &kFindStationEnd, &kCommandStartPosition,
    &kParseCommand, &kFrameType, &kIsFeedback, &kIsQuery, &kIsError, &kHeaderMatched, &kParseStation,
    &kParseContactAddress, &kParseRegisterAddress, &kParseUint16, &kParseInt16, &kParseUint32,
    &kParseInt32, &kFillHeader, &kFillContactAddress, &kFillUint16, &kFillInt16, &kFillUint32,
    &kFillInt32, &kReadContact, &kWriteContact, &kReadContactWords, &kWriteContactWords,
    &kReadRegisters, &kWriteRegisters, &kWriteRegister,
};

// The class constants are the core's own, as interned text and small integers.
py::Handle text(std::string_view value) {
    PyObject* s = PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    if (s) PyUnicode_InternInPlace(&s);
    return py::steal(s);
}
py::Handle text(char value) { return text(std::string_view(&value, 1)); }

}  // namespace

const py::FunctionDecl& codec::write_data_area_decl() { return kWriteRegisters; }

bool register_codec(PyObject* module_dict) {
    py::ClassBuilder builder("MewStatic");
    builder.doc("站号长度不限于8位的 Mewtocol 通信协议")
        .attr("MAX_MULTI_COIL_COUNT", codec::int_obj(core::kMaxMultiCoilCount))
        .attr("HEX_DIGITS", text(core::kHexDigits))
        .attr("DEC_DIGITS", text(core::kDecDigits))
        .attr("PROCESS_NONE", codec::int_obj(core::kProcessNone))
        .attr("PROCESS_ERROR", codec::int_obj(core::kProcessError))
        .attr("PROCESS_UNKNOWN_CMD", codec::int_obj(core::kProcessUnknownCmd))
        .attr("HEAD", text(core::kHead))
        .attr("TAIL", text(core::kTail))
        .attr("QUERY", text(core::kQuery))
        .attr("ERROR", text(core::kError))
        .attr("FEEDBACK", text(core::kFeedback))
        .attr("IGNORE_BCC", text(core::kIgnoreBcc))
        .attr("BROADCAST", codec::int_obj(core::kBroadcast))
        .attr("CMD_UNKNOWN", text(core::kCmdUnknown));
    for (const FunctionDecl* decl : kOperations) builder.static_method(*decl);
    py::Handle cls = builder.build();
    if (!cls || PyDict_SetItemString(module_dict, "MewStatic", cls.get()) < 0) return false;
    return codec::record_class(module_dict, cls.get());
}

}  // namespace ozu::mew
