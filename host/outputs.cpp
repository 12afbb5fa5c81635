#include "outputs.h"

#if KV_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "patch_file.h"
#include "wav_file.h"

namespace kvhost {

std::string OutputFormat(const std::string& file) {
    size_t dot = file.find_last_of('.');
    if (dot == std::string::npos) return "";
    std::string ext = file.substr(dot + 1);
    if (ext == "wav" || ext == "f32" || ext == "csv") return ext;
    return "";
}

std::string FormatFloat(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

namespace {

std::string CsvText(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

bool WriteInterleaved(const Engine& eng, const PatchOutput& out, int64_t length, std::vector<float>& data,
                      std::string& error) {
    size_t ch = out.pins.size();
    data.assign(static_cast<size_t>(length) * ch, 0.0f);
    for (size_t c = 0; c < ch; ++c) {
        if (out.pins[c].capture < 0) {
            error = out.pins[c].label + " is not a stream";
            return false;
        }
        const std::vector<float>& s = eng.Captured(out.pins[c].capture);
        size_t n = std::min(s.size(), static_cast<size_t>(length));
        for (size_t i = 0; i < n; ++i) data[i * ch + c] = s[i];
    }
    return true;
}

}  // namespace

bool WriteOutput(const Engine& eng, const PatchOutput& out, int64_t length, std::string& error) {
    std::string fmt = OutputFormat(out.file);
    if (fmt == "wav" || fmt == "f32") {
        std::vector<float> data;
        if (!WriteInterleaved(eng, out, length, data, error)) return false;
        if (fmt == "f32") {
            std::ofstream f(out.file, std::ios::binary);
            f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(float)));
            if (!f) {
                error = "cannot write '" + out.file + "'";
                return false;
            }
            return true;
        }
#if KV_HAVE_SNDFILE
        SF_INFO info{};
        info.samplerate = static_cast<int>(std::lround(eng.SampleRate()));
        info.channels = static_cast<int>(out.pins.size());
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(out.file.c_str(), SFM_WRITE, &info);
        if (!f) {
            error = "cannot write '" + out.file + "': " + sf_strerror(nullptr);
            return false;
        }
        sf_count_t frames = static_cast<sf_count_t>(length);
        bool ok = sf_writef_float(f, data.data(), frames) == frames;
        sf_close(f);
        if (!ok) error = "cannot write all of '" + out.file + "'";
        return ok;
#else
        return WriteFloatWav(out.file, static_cast<int>(std::lround(eng.SampleRate())),
                             static_cast<int>(out.pins.size()), data.data(), length, error);
#endif
    }

    // .csv: one row per status event, text change and stream value change of
    // the listed pins, in clock order.
    struct Row {
        int64_t clock;
        int order;
        std::string pin, event, value;
    };
    std::vector<Row> rows;
    int order = 0;
    for (const PatchPin& pp : out.pins) {
        const PinInfo& d = pp.inst->Descriptions()[pp.desc];
        int dsp = d.dsp_index;
        for (const TraceEntry& t : eng.trace) {
            if (t.instance != pp.inst) continue;
            bool gui_pin = d.IsGui() && (t.kind == TraceKind::GuiPut) && t.pin == pp.desc;
            bool dsp_pin = dsp >= 0 && t.pin == dsp &&
                           (t.kind == TraceKind::StatusIn || t.kind == TraceKind::StatusOut || t.kind == TraceKind::TextOut);
            if (!gui_pin && !dsp_pin) continue;
            Row r{t.clock, order++, pp.label, "", ""};
            if (t.kind == TraceKind::TextOut) {
                r.event = "text";
                r.value = CsvText(t.text);
            } else if (t.kind == TraceKind::GuiPut) {
                r.event = "gui";
                r.value = FormatFloat(t.value);
            } else {
                r.event = StatusName(t.status);
                if (d.datatype == DT_STRING) {
                    r.value = CsvText(t.text);
                } else if (d.IsStream() && pp.capture >= 0) {
                    const std::vector<float>& s = eng.Captured(pp.capture);
                    r.value = t.clock < static_cast<int64_t>(s.size()) ? FormatFloat(s[t.clock]) : "";
                } else {
                    r.value = FormatFloat(t.value);
                }
            }
            rows.push_back(std::move(r));
        }
        if (d.IsStream() && pp.capture >= 0) {
            const std::vector<float>& s = eng.Captured(pp.capture);
            for (size_t i = 0; i < s.size(); ++i) {
                if (i > 0 && (s[i] == s[i - 1] || (std::isnan(s[i]) && std::isnan(s[i - 1])))) continue;
                rows.push_back({static_cast<int64_t>(i), order++, pp.label, "value", FormatFloat(s[i])});
            }
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return a.clock != b.clock ? a.clock < b.clock : a.order < b.order;
    });
    std::ofstream f(out.file, std::ios::binary);
    f << "sample,pin,event,value\n";
    for (const Row& r : rows) f << r.clock << ',' << CsvText(r.pin) << ',' << r.event << ',' << r.value << '\n';
    if (!f) {
        error = "cannot write '" + out.file + "'";
        return false;
    }
    return true;
}

}  // namespace kvhost
