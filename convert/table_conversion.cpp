// The input table and sample table steps of the converter.

#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "convert/recorder_file_converter.h"
#include "convert/sample_value.h"
#include "convert/time_offset.h"
#include "format/number_format.h"

namespace morvela {
namespace {

// Writes the names (or units) line: the fields separated by ";", no line
// break. Every field is attempted whatever happens.
template <typename Field>
ConvertResult WriteTextFields(TextStream& report, const InputDescriptor* table,
                              uint32_t count, Field field) {
  ConvertResult result = Success;
  for (uint32_t i = 0; i < count; ++i) {
    // No separator follows a field whose write failed.
    if (!report.Write(field(table[i])) ||
        (i + 1 < count && !report.WriteNoLf(FieldSeparator))) {
      result = OutputWriteError;
    }
  }
  return result;
}

// Renderers of one value followed by ";", for the whole-row loop. kMaxChars
// is the most bytes one call writes.
template <typename T>
struct DirectRender {
  static constexpr size_t kMaxChars = MaxValueChars<T>() + 1;
  char* operator()(const unsigned char* p, char* out) const {
    out = RenderFullWidth<T>(p, out);
    *out = ';';
    return out + 1;
  }
};

template <int kBytes>
struct TableRender {
  // The entry is copied whole; its text is "value;".
  static constexpr size_t kMaxChars = sizeof(SmallIntTable::Entry);
  const SmallIntTable::Entry* table;
  char* operator()(const unsigned char* p, char* out) const {
    uint32_t raw = kBytes == 1 ? p[0] : (uint32_t{p[0]} << 8 | p[1]);
    const SmallIntTable::Entry& e = table[raw];
    std::memcpy(out, &e, sizeof e);
    return out + e.length;
  }
};

struct PlanRender {
  static constexpr size_t kMaxChars = kMaxSampleChars + 1;
  const SamplePlan* plan;
  char* operator()(const unsigned char* p, char* out) const {
    out = RenderSampleValue(*plan, p, out);
    *out = ';';
    return out + 1;
  }
};

// Decodes and writes one stored value by `plan` (the run's data type,
// resolved once); `value` holds the plan's kept bytes. An unknown type
// writes nothing and gives UnknownDataType. Returns OutputWriteError
// whenever the report is in its error state.
ConvertResult WriteSampleValue(TextStream& report, const SamplePlan& plan,
                               const unsigned char* value) {
  ConvertResult result = UnknownDataType;
  if (plan.type != DataType::kUnknown) {
    char* w = report.Reserve(kMaxSampleChars);
    report.Commit(RenderSampleValue(plan, value, w));
    result = Success;
  }
  return report.error() ? OutputWriteError : result;
}

// Writes the sample rows, resuming with `result` as the column-name line
// left it. A row whose bytes are all buffered and whose type is known is
// rendered by `render` in place; any other row goes value by value, which
// follows every failure rule.
template <typename Render>
ConvertResult WriteSampleRows(InputStream& input, TextStream& report,
                              const RecorderHeader& h, const SamplePlan& plan,
                              Render render, ConvertResult result) {
  // Locals, not the header's fields: the compiler must assume that every
  // byte written to the report may change memory it has not copied.
  const uint32_t inputs = h.Ninputs;
  const uint32_t size = h.DataTypeSize;
  const uint64_t row_bytes = uint64_t{inputs} * size;
  const bool known = plan.type != DataType::kUnknown;
  const bool whole_rows = known && size > 0 && row_bytes <= input.capacity();
  // The offset and its ";", every value and its ";", the line end.
  constexpr size_t kOffsetRoom = kMaxFixedChars + 1;
  constexpr size_t kValueRoom = Render::kMaxChars + TextStream::kMaxLineEnd;
  static_assert(kOffsetRoom <= TextStream::kMaxReserve &&
                kValueRoom <= TextStream::kMaxReserve);
  const uint64_t row_room = kOffsetRoom + uint64_t{inputs} * Render::kMaxChars +
                            TextStream::kMaxLineEnd;
  const bool one_reserve = row_room <= TextStream::kMaxReserve;
  const TimeOffsetFormatter offsets(h.Npretrigger, h.SampleTime);

  for (uint64_t i = 0; i < h.Nsamples && result == Success; ++i) {
    const bool last_row = i + 1 == h.Nsamples;
    if (whole_rows && input.Fill(row_bytes) >= row_bytes) {
      const auto* p = reinterpret_cast<const unsigned char*>(input.data()) +
                      plan.skip_bytes;
      char* w = report.Reserve(one_reserve ? row_room : kOffsetRoom);
      w = offsets.Format(i, w);
      *w++ = ';';
      uint32_t j = 0;
      if (one_reserve) {
        // Two values a step: the loop's own bookkeeping is a fair share of
        // the work when a value is one table copy.
        for (; j + 2 <= inputs; j += 2, p += 2 * size_t{size}) {
          w = render(p, w);
          w = render(p + size, w);
        }
      }
      for (; j < inputs; ++j, p += size) {
        if (!one_reserve) {
          report.Commit(w);
          w = report.Reserve(kValueRoom);
        }
        w = render(p, w);
      }
      if (inputs > 0) --w;  // the last value's ";"
      if (!last_row) w = report.PutLineEnd(w);
      report.Commit(w);
      input.Consume(row_bytes);
      if (report.error()) result = OutputWriteError;
      continue;
    }

    // Value by value, recording the last failure of the row.
    char* w = report.Reserve(kOffsetRoom);
    w = offsets.Format(i, w);
    *w++ = ';';
    report.Commit(w);
    if (report.error()) result = OutputWriteError;
    for (uint32_t j = 0; j < inputs; ++j) {
      unsigned char value[8];
      bool arrived = size > 0 && input.Skip(plan.skip_bytes) &&
                     input.ReadItem(value, plan.value_bytes);
      if (!arrived) result = InputReadError;
      if (result == Success) {
        result = WriteSampleValue(report, plan, value);
      }
      if (j + 1 < inputs && !report.WriteNoLf(FieldSeparator)) {
        result = OutputWriteError;
      }
    }
    if (!last_row && !report.NewLine()) result = OutputWriteError;
  }
  return result;
}

// The rows of a full-width field of native type T. One- and two-byte
// integers go through a table of their rendered values when there is memory
// for it.
template <typename T>
ConvertResult WriteFullWidthRows(InputStream& input, TextStream& report,
                                 const RecorderHeader& h,
                                 const SamplePlan& plan, ConvertResult result) {
  if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
    SmallIntTable table;
    if (table.Build<T>()) {
      return WriteSampleRows(input, report, h, plan,
                             TableRender<sizeof(T)>{table.entries()}, result);
    }
  }
  return WriteSampleRows(input, report, h, plan, DirectRender<T>{}, result);
}

}  // namespace

ConvertResult RecorderFileConverter::WriteColumnNames(
    TextStream& report, std::string_view prefix) const {
  ConvertResult result = Success;
  const uint32_t inputs = header_.Ninputs;
  for (uint32_t i = 0; i < inputs; ++i) {
    char index[kMaxIntegerChars];
    char* end = FormatZeroPadded(i, 2, index);
    if (!report.WriteNoLf(prefix) ||
        !report.WriteNoLf(std::string_view(index, end - index))) {
      result = OutputWriteError;
      continue;
    }
    bool ok =
        i + 1 < inputs ? report.WriteNoLf(FieldSeparator) : report.NewLine();
    if (!ok) result = OutputWriteError;
  }
  return result;
}

ConvertResult RecorderFileConverter::ConvertInputs(InputStream& input,
                                                   TextStream& report) {
  const uint32_t inputs = header_.Ninputs;
  std::unique_ptr<InputDescriptor[]> table;
  if (inputs > 0) {
    const uint64_t bytes = uint64_t{inputs} * sizeof(InputDescriptor);
    if (InputTableFits(inputs)) {
      table.reset(new (std::nothrow) InputDescriptor[inputs]);
    }
    if (!table) return MemoryAllocationError;
    if (!input.ReadItem(table.get(), bytes)) {
      return InputReadError;
    }
  }

  if (!report.NewLine()) return OutputWriteError;
  ConvertResult result = WriteColumnNames(report, "NameInput");
  if (result != Success) return result;
  result = WriteTextFields(
      report, table.get(), inputs,
      [](const InputDescriptor& d) { return TextField(d.Name); });
  if (result != Success) return result;

  if (!report.NewLine()) return OutputWriteError;
  result = WriteColumnNames(report, "UnitInput");
  if (result != Success) return result;
  return WriteTextFields(
      report, table.get(), inputs,
      [](const InputDescriptor& d) { return TextField(d.Unit); });
}

ConvertResult RecorderFileConverter::ConvertSamples(InputStream& input,
                                                    TextStream& report) {
  const RecorderHeader& h = header_;
  ConvertResult result = OutputWriteError;
  if (report.NewLine() && report.WriteNoLf("TimeOffset") &&
      report.WriteNoLf(FieldSeparator)) {
    result = WriteColumnNames(report, "SamplesInput");
  }

  // The type is resolved once; the rows of a full-width known type are
  // rendered by a loop made for it.
  SamplePlan plan = PlanSamples(TextField(h.DataTypeName), h.DataTypeSize);
  if (plan.full_width && result == Success) {
    return WithNativeType(plan.type, [&](auto type) {
      return WriteFullWidthRows<typename decltype(type)::type>(input, report, h,
                                                               plan, result);
    });
  }
  return WriteSampleRows(input, report, h, plan, PlanRender{&plan}, result);
}

}  // namespace morvela
