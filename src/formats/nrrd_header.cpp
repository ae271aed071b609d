#include "nrrd_header.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>

#include "text_parsing.h"
#include "volume_reading.h"

namespace cvt::formats {
namespace {

struct NrrdSpelling {
    std::string_view name;
    SampleType type;
};

// The spellings NRRD allows for the types read; the first of each type is the one written.
constexpr NrrdSpelling nrrdSpellings[] = {
    {"uint8", SampleType::uint8},        {"uchar", SampleType::uint8},
    {"unsigned char", SampleType::uint8}, {"uint8_t", SampleType::uint8},
    {"int8", SampleType::int8},          {"signed char", SampleType::int8},
    {"int8_t", SampleType::int8},
    {"uint16", SampleType::uint16},      {"ushort", SampleType::uint16},
    {"unsigned short", SampleType::uint16}, {"unsigned short int", SampleType::uint16},
    {"uint16_t", SampleType::uint16},    {"int16", SampleType::int16},
    {"short", SampleType::int16},        {"short int", SampleType::int16},
    {"signed short", SampleType::int16}, {"signed short int", SampleType::int16},
    {"int16_t", SampleType::int16},      {"int32", SampleType::int32},
    {"int", SampleType::int32},          {"signed int", SampleType::int32},
    {"int32_t", SampleType::int32},      {"uint32", SampleType::uint32},
    {"uint", SampleType::uint32},        {"unsigned int", SampleType::uint32},
    {"uint32_t", SampleType::uint32},    {"float", SampleType::float32},
    {"double", SampleType::float64},
};

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> result;
    for (size_t at = 0; (at = text.find_first_not_of(" \t", at)) != std::string_view::npos;) {
        const size_t end = std::min(text.find_first_of(" \t", at), text.size());
        result.push_back(text.substr(at, end - at));
        at = end;
    }
    return result;
}

// The text of a line as messages quote it: printable, and short.
std::string quoted(std::string_view text) {
    std::string result = "'";
    for (const char c : text.substr(0, 60)) result += c >= ' ' && c <= '~' ? c : '?';
    return result + (text.size() > 60 ? "...'" : "'");
}

class FieldParser {
public:
    FieldParser(const std::string& path, int line) : path_(path), line_(line) {}

    [[noreturn]] void fail(const std::string& problem) const {
        failAt(path_, "header line " + std::to_string(line_) + ": " + problem);
    }

    template <class Number>
    Number number(std::string_view text) const {
        text = trimmed(text);
        Number value{};
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || text.empty())
            fail("expected a number, not " + quoted(text));
        return value;
    }

    template <class Number>
    std::vector<Number> numbers(std::string_view text) const {
        std::vector<Number> result;
        for (const std::string_view word : words(text)) result.push_back(number<Number>(word));
        return result;
    }

    // "(1,0,0) none (0,0.5,0)": the length of each vector, NaN for "none".
    std::vector<double> vectorLengths(std::string_view text) const {
        std::vector<double> lengths;
        for (text = trimmed(text); !text.empty(); text = trimmed(text)) {
            if (text.substr(0, 4) == "none") {
                lengths.push_back(NAN);
                text.remove_prefix(4);
                continue;
            }
            const size_t close = text.find(')');
            if (text[0] != '(' || close == std::string_view::npos) fail("expected '(...)' or 'none', not " + quoted(text));
            double squares = 0;
            const std::string_view components = text.substr(1, close - 1);
            for (size_t start = 0; start <= components.size();) {
                const size_t comma = std::min(components.find(',', start), components.size());
                const double component = number<double>(components.substr(start, comma - start));
                squares += component * component;
                start = comma + 1;
            }
            lengths.push_back(std::sqrt(squares));
            text.remove_prefix(close + 1);
        }
        return lengths;
    }

private:
    const std::string& path_;
    int line_;
};

}  // namespace

std::optional<SampleType> nrrdTypeNamed(std::string_view name) {
    const std::string spelling = lowercase(trimmed(name));
    for (const NrrdSpelling& entry : nrrdSpellings)
        if (entry.name == spelling) return entry.type;
    return std::nullopt;
}

const char* nrrdTypeName(SampleType type) {
    for (const NrrdSpelling& entry : nrrdSpellings)
        if (entry.type == type) return entry.name.data();
    return nullptr;
}

void requireNrrdMagic(const std::string& path, std::string_view text) {
    const std::string_view magic = trimmed(text.substr(0, text.find('\n')));
    if (magic.size() != 8 || magic.substr(0, 7) != "NRRD000" || magic[7] < '1' || magic[7] > '5')
        failAt(path, "not a NRRD file: it does not begin with NRRD0001 .. NRRD0005");
}

namespace {
// The fields that place the volume in space, which a label file carries over.
const std::set<std::string> placementFields = {"space", "spacedimension", "spacedirections", "spaceorigin",
                                               "spaceunits", "spacings", "units", "measurementframe"};
}  // namespace

NrrdHeader parseNrrdHeader(const std::string& path, std::string_view text) {
    NrrdHeader header;
    std::optional<uint64_t> dimension;
    std::optional<SampleType> type;
    std::optional<std::string> encoding;
    std::vector<double> spacings, directionLengths;
    std::set<std::string> seen;
    requireNrrdMagic(path, text);
    const size_t magicEnd = std::min(text.find('\n'), text.size());
    int lineNumber = 1;
    for (size_t next = magicEnd + 1; next < text.size();) {
        const size_t end = std::min(text.find('\n', next), text.size());
        const std::string_view line = trimmed(text.substr(next, end - next));
        next = end + 1;
        ++lineNumber;
        const FieldParser parse(path, lineNumber);
        if (line.empty() || line[0] == '#') continue;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) parse.fail("expected 'field: value', not " + quoted(line));
        if (line.substr(colon, 2) == ":=") continue;  // a key/value pair: no business of a reader
        // "data file" is also spelled "datafile", "byte skip" "byteskip", and so on.
        std::string field = lowercase(line.substr(0, colon));
        field.erase(std::remove(field.begin(), field.end(), ' '), field.end());
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (!seen.insert(field).second) parse.fail("field '" + field + "' given twice");
        if (placementFields.count(field)) header.geometryLines.emplace_back(line);

        if (field == "type") {
            type = nrrdTypeNamed(value);
            if (!type) failAt(path, "unsupported type " + quoted(value));
        } else if (field == "dimension") {
            dimension = parse.number<uint64_t>(value);
        } else if (field == "sizes") {
            header.sizes = parse.numbers<uint64_t>(value);
        } else if (field == "encoding") {
            encoding = lowercase(value);
            if (encoding != "raw" && encoding != "gzip" && encoding != "gz")
                failAt(path, "unsupported encoding " + quoted(value) + " (raw and gzip are read)");
        } else if (field == "endian") {
            if (value != "little" && value != "big") parse.fail("endian must be little or big, not " + quoted(value));
            header.bigEndian = value == "big";
        } else if (field == "spacings") {
            spacings = parse.numbers<double>(value);
        } else if (field == "spacedirections") {
            directionLengths = parse.vectorLengths(value);
        } else if (field == "datafile") {
            if (value.empty() || value.substr(0, 4) == "LIST" || words(value).size() != 1)
                parse.fail("only a single data file is supported, not " + quoted(value));
            header.dataFile = value;
        } else if (field == "byteskip") {
            header.byteSkip = parse.number<int64_t>(value);
            if (header.byteSkip < -1) parse.fail("byte skip must be -1 or more");
        } else if (field == "lineskip") {
            if (parse.number<int64_t>(value) != 0) parse.fail("line skip is not supported");
        }
    }

    for (const auto& [given, field] : {std::pair{type.has_value(), "type"}, {dimension.has_value(), "dimension"},
                                      {!header.sizes.empty(), "sizes"}, {encoding.has_value(), "encoding"}})
        if (!given) failAt(path, std::string("the header has no '") + field + "' field");
    if (*dimension != header.sizes.size())
        failAt(path, "dimension " + std::to_string(*dimension) + " but " + std::to_string(header.sizes.size()) +
                         " sizes");
    if (!header.bigEndian && sampleBytes(*type) > 1)
        failAt(path, std::string("the header has no 'endian' field, which ") + nrrdTypeName(*type) + " samples need");
    header.type = *type;
    header.gzip = *encoding != "raw";

    // Spacings apply only where the axes are an image's two or a volume's three; a shape of other
    // dimension fails later.
    const size_t axes = header.sizes.size();
    for (const std::vector<double>* perAxis : {&directionLengths, &spacings}) {
        if (perAxis->empty() || (axes != 2 && axes != 3)) continue;
        if (perAxis->size() != axes)
            failAt(path, std::string(perAxis == &spacings ? "spacings" : "space directions") + " for " +
                             std::to_string(perAxis->size()) + " axes, sizes for " + std::to_string(axes));
        for (size_t axis = 0; axis < axes; ++axis) {
            const double spacing = (*perAxis)[axis];
            if (std::isinf(spacing) || spacing == 0) failAt(path, "an axis has a spacing of 0 or infinity");
            if (!std::isnan(spacing)) header.spacing[axis] = spacing;  // NaN: not known
        }
        break;  // space directions, when given, say more than spacings
    }
    return header;
}

}  // namespace cvt::formats
