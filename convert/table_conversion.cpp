// The input table and sample table steps of the converter.

#include <cstring>
#include <memory>
#include <new>

#include "convert/recorder_file_converter.h"
#include "convert/sample_value.h"
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
    if (!report.Write(field(table[i]))) {
      result = OutputWriteError;
    } else if (i + 1 < count && !report.WriteNoLf(FieldSeparator)) {
      result = OutputWriteError;
    }
  }
  return result;
}

// Writes the sample rows, resuming with `result` as the column-name line
// left it. `Render` turns the kept bytes of one value into text; it is only
// called for a known type.
template <typename Render>
ConvertResult WriteSampleRows(InputStream& input, TextStream& report,
                              const RecorderHeader& h, const SamplePlan& plan,
                              Render render, ConvertResult result) {
  const uint32_t inputs = h.Ninputs;
  const uint64_t row_bytes = uint64_t{inputs} * h.DataTypeSize;
  const bool known = plan.type != DataType::kUnknown;
  // A whole row that fits the input buffer is decoded in place.
  const bool whole_rows =
      known && h.DataTypeSize > 0 && row_bytes <= input.capacity();

  for (uint64_t i = 0; i < h.Nsamples && result == Success; ++i) {
    double offset =
        static_cast<double>(static_cast<int64_t>(i) - int64_t{h.Npretrigger}) *
        h.SampleTime * 1e-6;
    char* w = report.Reserve(kMaxFixedChars + 1);
    w = FormatFixed(offset, 9, true, w);
    *w++ = ';';
    report.Commit(w);
    if (report.error()) result = OutputWriteError;

    if (whole_rows && result == Success && input.Fill(row_bytes) >= row_bytes) {
      const auto* p = reinterpret_cast<const unsigned char*>(input.data()) +
                      plan.skip_bytes;
      for (uint32_t j = 0; j < inputs; ++j) {
        w = report.Reserve(kMaxSampleChars + 1);
        w = render(p, w);
        *w = ';';
        w += (j + 1 < inputs);
        report.Commit(w);
        p += h.DataTypeSize;
      }
      input.Consume(row_bytes);
      if (report.error()) result = OutputWriteError;
    } else {
      // Value by value, recording the last failure of the row.
      for (uint32_t j = 0; j < inputs; ++j) {
        unsigned char value[8];
        bool arrived = h.DataTypeSize > 0 && input.Skip(plan.skip_bytes) &&
                       input.ReadItem(value, plan.value_bytes);
        if (!arrived) result = InputReadError;
        if (result == Success) {
          if (known) {
            w = report.Reserve(kMaxSampleChars);
            report.Commit(render(value, w));
          } else {
            result = UnknownDataType;
          }
          if (report.error()) result = OutputWriteError;
        }
        if (j + 1 < inputs && !report.WriteNoLf(FieldSeparator)) {
          result = OutputWriteError;
        }
      }
    }
    if (i + 1 < h.Nsamples && !report.NewLine()) result = OutputWriteError;
  }
  return result;
}

template <DataType kType>
ConvertResult WriteFullWidthRows(InputStream& input, TextStream& report,
                                 const RecorderHeader& h,
                                 const SamplePlan& plan, ConvertResult result) {
  return WriteSampleRows(input, report, h, plan, &RenderFullWidth<kType>,
                         result);
}

}  // namespace

ConvertResult RecorderFileConverter::WriteColumnNames(TextStream& report,
                                                      std::string_view prefix) {
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
    table.reset(new (std::nothrow) InputDescriptor[inputs]);
    if (!table) return MemoryAllocationError;
    if (!input.ReadItem(table.get(),
                        uint64_t{inputs} * sizeof(InputDescriptor))) {
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

ConvertResult RecorderFileConverter::WriteSampleValue(
    TextStream& report, std::string_view type_name, const unsigned char* stored,
    uint32_t size) {
  SamplePlan plan = PlanSamples(type_name, size);
  ConvertResult result = UnknownDataType;
  if (plan.type != DataType::kUnknown && size > 0) {
    char* w = report.Reserve(kMaxSampleChars);
    report.Commit(RenderSampleValue(plan, stored + plan.skip_bytes, w));
    result = Success;
  }
  return report.error() ? OutputWriteError : result;
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
  bool full_width = plan.type != DataType::kUnknown &&
                    plan.value_bytes == InfoOf(plan.type).width;
  if (full_width) {
    switch (plan.type) {
      case DataType::kChar:
        return WriteFullWidthRows<DataType::kChar>(input, report, h, plan,
                                                   result);
      case DataType::kUnsignedChar:
        return WriteFullWidthRows<DataType::kUnsignedChar>(input, report, h,
                                                           plan, result);
      case DataType::kShort:
        return WriteFullWidthRows<DataType::kShort>(input, report, h, plan,
                                                    result);
      case DataType::kUnsignedShort:
        return WriteFullWidthRows<DataType::kUnsignedShort>(input, report, h,
                                                            plan, result);
      case DataType::kInt:
        return WriteFullWidthRows<DataType::kInt>(input, report, h, plan,
                                                  result);
      case DataType::kUnsignedInt:
        return WriteFullWidthRows<DataType::kUnsignedInt>(input, report, h,
                                                          plan, result);
      case DataType::kFloat:
        return WriteFullWidthRows<DataType::kFloat>(input, report, h, plan,
                                                    result);
      case DataType::kDouble:
        return WriteFullWidthRows<DataType::kDouble>(input, report, h, plan,
                                                     result);
      case DataType::kUnknown:
        break;
    }
  }
  return WriteSampleRows(
      input, report, h, plan,
      [&plan](const unsigned char* p, char* out) {
        return RenderSampleValue(plan, p, out);
      },
      result);
}

}  // namespace morvela
