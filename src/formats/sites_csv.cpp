#include "sites_csv.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "atomic_file.h"
#include "text_parsing.h"
#include "volume_reading.h"

namespace cvt::formats {
namespace {

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> result;
    for (size_t start = 0;;) {
        const size_t comma = line.find(',', start);
        result.push_back(trimmed(line.substr(start, comma - start)));
        if (comma == std::string_view::npos) return result;
        start = comma + 1;
    }
}

std::string lowercaseName(std::string_view field) {
    if (field.size() >= 2 && field.front() == '"' && field.back() == '"') field = field.substr(1, field.size() - 2);
    return lowercase(field);
}

bool isHeader(const std::vector<std::string_view>& line) {
    return std::any_of(line.begin(), line.end(), [](std::string_view field) {
        const char c = field.empty() ? '0' : field[0] == '"' && field.size() > 1 ? field[1] : field[0];
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    });
}

// Which field holds what: the coordinates always, mass and voxels when a header names them.
struct Columns {
    static constexpr size_t absent = SIZE_MAX;
    size_t x = 0, y = 1, z = 2, mass = absent, voxels = absent, id = absent;

    // Without a header: the first three columns.
    Columns() = default;
    explicit Columns(const std::vector<std::string_view>& header) {
        size_t named[6] = {absent, absent, absent, absent, absent, absent};
        const char* const names[6] = {"x", "y", "z", "mass", "voxels", "id"};
        for (size_t column = header.size(); column-- > 0;)  // the first of repeated names counts
            for (int i = 0; i < 6; ++i)
                if (lowercaseName(header[column]) == names[i]) named[i] = column;
        if (named[0] != absent && named[1] != absent && named[2] != absent) x = named[0], y = named[1], z = named[2];
        mass = named[3];
        voxels = named[4];
        id = named[5];
    }

    size_t needed() const {
        size_t last = std::max({x, y, z});
        for (const size_t column : {mass, voxels, id})
            if (column != absent) last = std::max(last, column);
        return last + 1;
    }
};

class RowParser {
public:
    RowParser(const std::string& path, size_t line) : path_(path), line_(line) {}

    [[noreturn]] void fail(const std::string& problem) const {
        failAt(path_, "line " + std::to_string(line_) + ": " + problem);
    }

    template <class Number>
    Number number(std::string_view field, const char* name, const char* kind) const {
        Number value{};
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        if (field.empty() || error != std::errc() || end != field.data() + field.size())
            fail(std::string(name) + " '" + std::string(field.substr(0, 40)) + "' is not " + kind);
        return value;
    }

    int coordinate(std::string_view field, const char* name) const {
        const int value = number<int>(field, name, "an integer");
        if (value < 0) fail(std::string(name) + " " + std::to_string(value) + " is negative");
        return value;
    }

private:
    const std::string& path_;
    size_t line_;
};

}  // namespace

std::vector<SiteRow> readSitesCsv(const std::string& path) {
    const InputFile file(path);
    std::string text(file.size(), '\0');
    file.read(0, text.data(), text.size());
    std::vector<SiteRow> sites;
    std::optional<Columns> columns;
    forEachLine(text, [&](size_t lineNumber, std::string_view line) {
        if (line.empty()) return;
        const std::vector<std::string_view> row = fields(line);
        if (!columns) {
            const bool header = isHeader(row);
            columns = header ? Columns(row) : Columns();
            if (header) return;
        }
        const RowParser parse(path, lineNumber);
        if (row.size() < columns->needed())
            parse.fail(std::to_string(row.size()) + " fields, expected at least " + std::to_string(columns->needed()));
        SiteRow site;
        site.x = parse.coordinate(row[columns->x], "x");
        site.y = parse.coordinate(row[columns->y], "y");
        site.z = parse.coordinate(row[columns->z], "z");
        if (columns->mass != Columns::absent) {
            site.mass = parse.number<double>(row[columns->mass], "mass", "a number");
            if (!std::isfinite(site.mass)) parse.fail("mass is not finite");
        }
        if (columns->voxels != Columns::absent)
            site.voxels = parse.number<uint64_t>(row[columns->voxels], "voxels", "a count");
        if (columns->id != Columns::absent) site.id = int64_t(parse.number<uint32_t>(row[columns->id], "id", "an id"));
        sites.push_back(site);
    });
    return sites;
}

void writeSitesCsv(const std::string& path, const std::vector<SiteRow>& sites, uint32_t firstId) {
    std::string text = "id,x,y,z,mass,voxels,pieces,cx,cy,cz,initial_index\n";
    char row[256];
    for (size_t i = 0; i < sites.size(); ++i) {
        const SiteRow& site = sites[i];
        text.append(row, size_t(std::snprintf(row, sizeof row,
                                              "%zu,%d,%d,%d,%.9g,%" PRIu64 ",%u,%.9g,%.9g,%.9g,%" PRId64 "\n",
                                              i + firstId, site.x, site.y, site.z, site.mass, site.voxels,
                                              site.pieces, site.centroid[0], site.centroid[1], site.centroid[2],
                                              site.initialIndex)));
    }
    AtomicFile file(path);
    file.write(text);
    file.commit();
}

}  // namespace cvt::formats
