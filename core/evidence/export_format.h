#pragma once
// The three file formats a conversation can be exported as.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

enum class ExportFormat { json, csv, pdf };

// Every format, in the order the export sheet lists them.
inline constexpr std::array<ExportFormat, 3> kExportFormatAllCases{ExportFormat::json, ExportFormat::csv,
                                                                   ExportFormat::pdf};

// The stored name of a format ("json", "csv", "pdf"); also its file extension.
std::string exportFormatRawValue(ExportFormat format);
std::string exportFormatExtension(ExportFormat format);
// The name shown to people ("JSON", "CSV", "PDF").
std::string exportFormatLabel(ExportFormat format);
std::optional<ExportFormat> exportFormatFromRawValue(std::string_view raw);

} // namespace kx
