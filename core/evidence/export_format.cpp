#include "core/evidence/export_format.h"

namespace kx {

std::string exportFormatRawValue(ExportFormat format) {
    switch (format) {
    case ExportFormat::json: return "json";
    case ExportFormat::csv: return "csv";
    case ExportFormat::pdf: return "pdf";
    }
    return "json";
}

std::string exportFormatExtension(ExportFormat format) { return exportFormatRawValue(format); }

std::string exportFormatLabel(ExportFormat format) {
    switch (format) {
    case ExportFormat::json: return "JSON";
    case ExportFormat::csv: return "CSV";
    case ExportFormat::pdf: return "PDF";
    }
    return "JSON";
}

std::optional<ExportFormat> exportFormatFromRawValue(std::string_view raw) {
    for (ExportFormat f : kExportFormatAllCases)
        if (exportFormatRawValue(f) == raw) return f;
    return std::nullopt;
}

} // namespace kx
