#include "count_file.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "user_error.h"

namespace valdmora {

void split_readstring(const std::string& line, std::vector<std::string>& fields, uint8_t& last) {
    char sep = ' ';
    if (line.find(',') != std::string::npos)
        sep = ',';
    else if (line.find('\t') != std::string::npos)
        sep = '\t';
    fields.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = line.find(sep, start);
        if (at == std::string::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, at - start));
        start = at + 1;
    }
    long index = static_cast<long>(fields.size()) - 1;
    if (fields.back().empty()) --index;
    if (index < 0) throw UserError("the line is empty");
    if (index > 255) throw UserError("the line has more than 256 fields");
    last = static_cast<uint8_t>(index);
}

namespace {

std::string in_quotes(const std::string& s) { return "\"" + s + "\""; }

class Reader {
public:
    Reader(std::string path, const NumberFormat& fmt) : path_(std::move(path)), fmt_(fmt) {}

    CountData read_file() {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (fs::is_directory(path_, ec)) fail_file("is a folder, not a data file.");
        std::ifstream in(path_, std::ios::binary);
        if (!in) fail_file("cannot be opened: no such file, or it may not be read.");
        return read(in);
    }

    CountData read(std::istream& in) {
        CountData d;
        std::string line;
        std::vector<std::string> fields;
        uint8_t last = 0;
        if (!next_line(in, line) || line.empty())
            fail_line("the header line is empty; it must name 1 to 4 predictor variables.");
        split(line, fields, last);
        if (last + 1 > kMaxPredictors)
            fail_line("the header names " + std::to_string(last + 1) +
                      " predictor variables; at most 4 are allowed.");
        const int n_pred = last + 1;
        d.predictor_names.assign(fields.begin(), fields.begin() + n_pred);

        while (next_line(in, line) && !line.empty()) {
            split(line, fields, last);
            const bool surveyed = last == n_pred + 1;
            if (last != n_pred && !surveyed) {
                throw UserError(kCheckDataFile, "Data file",
                                where() + ": " + std::to_string(last + 1) + " fields; a ward line needs " +
                                    std::to_string(n_pred + 1) + " (name and " + std::to_string(n_pred) +
                                    " predictor values) or " + std::to_string(n_pred + 2) +
                                    " (with the dog count last).");
            }
            WardRow row;
            row.name = fields[0];
            for (int j = 1; j <= n_pred; ++j)
                row.x[j - 1] = number(fields[j], j, "value of " + in_quotes(d.predictor_names[j - 1]));
            auto& rows = surveyed ? d.surveyed : d.unsurveyed;
            if (surveyed) {
                row.count = number(fields[n_pred + 1], n_pred + 1, "dog count");
                if (row.count < 0.0) fail_field(n_pred + 1, "the dog count " + fields[n_pred + 1] + " is negative.");
                if (d.surveyed.size() == kMaxModelRecords)
                    fail_line("more than 99 surveyed wards; the model takes at most 99.");
            } else if (d.unsurveyed.size() == kMaxWards) {
                fail_line("more than 100 unsurveyed wards; at most 100 are allowed.");
            }
            rows.push_back(std::move(row));
        }
        if (in.bad()) fail_file("could not be read to its end.");
        return d;
    }

private:
    bool next_line(std::istream& in, std::string& line) {
        if (!std::getline(in, line)) return false;
        ++line_no_;
        if (!line.empty() && line.back() == '\r') line.pop_back();  // CR LF line ends
        return true;
    }

    void split(const std::string& line, std::vector<std::string>& fields, uint8_t& last) {
        try {
            split_readstring(line, fields, last);
        } catch (const UserError& e) {
            fail_line(std::string(e.what()) + ".");
        }
    }

    double number(const std::string& text, int field, const std::string& what) {
        const auto v = parse_number(text, fmt_);
        if (!v) fail_field(field, "the " + what + " " + in_quotes(text) + " is not a number.");
        if (std::fabs(*v) > std::numeric_limits<float>::max())
            fail_field(field, "the " + what + " " + in_quotes(text) + " is too large.");
        return *v;
    }

    std::string where() const { return path_ + ", line " + std::to_string(line_no_); }

    [[noreturn]] void fail_file(const std::string& what) const {
        throw UserError("The data file " + path_ + " " + what, "Data file");
    }
    [[noreturn]] void fail_line(const std::string& what) const {
        throw UserError(where() + ": " + what, "Data file");
    }
    [[noreturn]] void fail_field(int field, const std::string& what) const {
        // fields are counted from 1 for the reader of the message
        throw UserError(where() + ", field " + std::to_string(field + 1) + ": " + what, "Data file");
    }

    std::string path_;
    NumberFormat fmt_;
    long line_no_ = 0;
};

}  // namespace

CountData read_count_file(const std::string& path, const NumberFormat& fmt) { return Reader(path, fmt).read_file(); }

CountData read_count_data(std::istream& in, const std::string& name, const NumberFormat& fmt) {
    return Reader(name, fmt).read(in);
}

void store_count_data(EstimationState& s, const CountData& d) {
    // Work on a copy so that a failure part-way leaves the state as it was.
    EstimationState t = s;
    t.data_read = -1;
    t.n_pred = to_int16(static_cast<long>(d.predictor_names.size()), "number of predictors");
    for (int j = 1; j <= t.n_pred; ++j) t.unsurveyed_x_sum(j) = 0.0f;
    int16_t u = 0, w = 0;
    for (const WardRow& r : d.unsurveyed) {
        u = add16(u, 1, "unsurveyed ward number");
        t.unsurveyed_name(u) = r.name;
        for (int j = 1; j <= t.n_pred; ++j) {
            t.unsurveyed_x(j, u) = static_cast<float>(r.x[j - 1]);
            // the sum is formed in double and kept in single precision
            t.unsurveyed_x_sum(j) = static_cast<float>(static_cast<double>(t.unsurveyed_x_sum(j)) + r.x[j - 1]);
        }
    }
    for (const WardRow& r : d.surveyed) {
        w = add16(w, 1, "surveyed ward number");
        t.surveyed_name(w) = r.name;
        for (int j = 1; j <= t.n_pred; ++j) t.surveyed_x(j, w) = static_cast<float>(r.x[j - 1]);
        t.surveyed_count(w) = static_cast<float>(r.count);
    }
    t.n_unsurveyed = u;
    t.n_surveyed = w;
    s = std::move(t);
}

}  // namespace valdmora
