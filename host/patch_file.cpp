#include "patch_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "outputs.h"
#include "sources.h"

namespace kvhost {

using Json = nlohmann::ordered_json;

namespace {

std::string JoinPath(const std::string& dir, const std::string& file) {
    if (dir.empty() || file.empty() || file[0] == '/') return file;
    return dir + "/" + file;
}

// Splits "instance.Pin Name" at the first dot and finds both.
bool ResolvePin(Engine& eng, const std::string& label, PatchPin& out, std::string& error) {
    size_t dot = label.find('.');
    if (dot == std::string::npos) {
        error = "pin '" + label + "' must be written as \"instance.Pin Name\"";
        return false;
    }
    std::string inst_name = label.substr(0, dot), pin_name = label.substr(dot + 1);
    Instance* inst = eng.Find(inst_name);
    if (!inst) {
        error = "unknown module instance '" + inst_name + "' in '" + label + "'";
        return false;
    }
    int d = inst->FindDescription(pin_name);
    if (d < 0) {
        error = "unknown pin '" + pin_name + "' on module '" + inst_name + "' (" + inst->Lib().Name() + ")";
        return false;
    }
    out.inst = inst;
    out.desc = d;
    out.label = label;
    return true;
}

// A pin setting as the host's number: choices by item text or index, stream
// pins in volts, booleans as 0/1.
bool SettingValue(const PinInfo& d, const Json& v, const std::string& where, double& out, std::string& error) {
    if (d.datatype == DT_CHOICE && v.is_string()) {
        const std::string s = v.get<std::string>();
        // An item written "label=n" has the value n and the items after it
        // count on from n; it is named by its label (or its whole text).
        long value = 0;
        for (size_t i = 0; i < d.items.size(); ++i, ++value) {
            const std::string& item = d.items[i];
            std::string label = item;
            size_t eq = item.rfind('=');
            if (eq != std::string::npos && eq + 1 < item.size()) {
                char* end = nullptr;
                long n = std::strtol(item.c_str() + eq + 1, &end, 10);
                if (*end == '\0') {
                    value = n;
                    label = item.substr(0, eq);
                }
            }
            if (label == s || item == s) {
                out = static_cast<double>(value);
                return true;
            }
        }
        error = "unknown list item '" + s + "' for " + where + " (items: " + d.list + ")";
        return false;
    }
    if (v.is_boolean()) {
        out = v.get<bool>() ? 1.0 : 0.0;
        return true;
    }
    if (!v.is_number()) {
        error = where + " needs a number" + std::string(d.datatype == DT_CHOICE ? " or a list item" : "");
        return false;
    }
    out = v.get<double>();
    if (d.IsStream()) out /= 10.0;  // volts as the host shows them
    return true;
}

bool ParseTime(const Json& t, double sampleRate, int64_t& out, std::string& error, const std::string& where) {
    if (t.is_object() && t.contains("sample") && t["sample"].is_number_integer()) {
        out = t["sample"].get<int64_t>();
    } else if (t.is_object() && t.contains("time") && t["time"].is_number()) {
        out = static_cast<int64_t>(std::llround(t["time"].get<double>() * sampleRate));
    } else if (t.is_array() && t.size() == 2 && t[0].is_number()) {
        out = static_cast<int64_t>(std::llround(t[0].get<double>() * sampleRate));
    } else {
        error = where + ": a step is [seconds, value], {\"time\": s, \"value\": v} or {\"sample\": n, \"value\": v}";
        return false;
    }
    if (out < 0) {
        error = where + ": a step cannot come before the start";
        return false;
    }
    return true;
}

double NumberOr(const Json& o, const char* key, double fallback) {
    return o.contains(key) && o[key].is_number() ? o[key].get<double>() : fallback;
}

bool Build(const Json& j, const PatchOptions& opt, LoadedPatch& out, std::string& error) {
    if (!j.is_object()) {
        error = "a patch is a JSON object";
        return false;
    }
    double sr = opt.sample_rate > 0 ? opt.sample_rate : NumberOr(j, "sample_rate", 44100.0);
    // Range-checked as a double first: converting a huge number to int is undefined.
    double bsd = opt.block_size > 0 ? opt.block_size : NumberOr(j, "block_size", 64);
    if (!(sr > 0) || !(bsd >= 1) || bsd > 1 << 20) {
        error = "sample rate and block size must be positive";
        return false;
    }
    int bs = static_cast<int>(bsd);
    double samples;
    if (opt.length >= 0) {
        samples = std::nearbyint(opt.length * sr);
    } else if (j.contains("samples")) {
        samples = std::trunc(j["samples"].get<double>());
    } else {
        samples = std::nearbyint(NumberOr(j, "length", 1.0) * sr);
    }
    if (!(samples >= 0) || samples > static_cast<double>((int64_t{1} << 31) - 1)) {
        error = "the length must fit the 32-bit sample clock";
        return false;
    }
    out.length = static_cast<int64_t>(samples);
    out.engine = std::make_unique<Engine>(sr, bs);
    Engine& eng = *out.engine;
    eng.tracing = opt.trace;

    // Modules: an array of {"name", "plugin", "pins"}, or an object by name.
    if (!j.contains("modules")) {
        error = "the patch has no \"modules\"";
        return false;
    }
    std::vector<std::pair<std::string, Json>> modules;
    if (j["modules"].is_array()) {
        for (const Json& m : j["modules"]) {
            if (!m.is_object() || !m.contains("name") || !m["name"].is_string()) {
                error = "every module needs a \"name\"";
                return false;
            }
            modules.emplace_back(m["name"].get<std::string>(), m);
        }
    } else if (j["modules"].is_object()) {
        for (auto& [k, v] : j["modules"].items()) modules.emplace_back(k, v);
    } else {
        error = "\"modules\" must be an array or an object";
        return false;
    }
    std::map<std::string, Library*> loaded;
    for (auto& [name, m] : modules) {
        if (name.empty() || name.find('.') != std::string::npos) {
            error = "module name '" + name + "' must be non-empty and hold no dot";
            return false;
        }
        if (!m.is_object() || !m.contains("plugin") || !m["plugin"].is_string()) {
            error = "module '" + name + "' needs a \"plugin\" (a deliverable name)";
            return false;
        }
        std::string plugin = m["plugin"].get<std::string>();
        Library* lib = loaded[plugin];
        if (!lib) {
            std::string path = DeliverablePath(opt.plugin_dir, plugin);
            std::string why;
            auto l = Library::Load(path, why);
            if (!l) {
                error = "unknown deliverable '" + plugin + "' for module '" + name + "' (" + why + ")";
                return false;
            }
            lib = l.get();
            out.libraries.push_back(std::move(l));
            loaded[plugin] = lib;
        }
        int extra = static_cast<int>(NumberOr(m, "extra_pins", 0));
        Instance* inst = eng.Add(name, *lib, error, extra);
        if (!inst) return false;
        if (m.contains("pins")) {
            if (!m["pins"].is_object()) {
                error = "\"pins\" of module '" + name + "' must be an object";
                return false;
            }
            for (auto& [pin_name, v] : m["pins"].items()) {
                PatchPin pp;
                if (!ResolvePin(eng, name + "." + pin_name, pp, error)) return false;
                const PinInfo& d = inst->Descriptions()[pp.desc];
                if (d.datatype == DT_STRING) {
                    if (!v.is_string()) {
                        error = pp.label + " takes a text";
                        return false;
                    }
                    if (!eng.SetText(*inst, pp.desc, v.get<std::string>(), error)) return false;
                } else {
                    double value;
                    if (!SettingValue(d, v, pp.label, value, error)) return false;
                    if (!eng.SetValue(*inst, pp.desc, value, error)) return false;
                }
            }
        }
    }

    if (j.contains("connections")) {
        for (const Json& c : j["connections"]) {
            if (!c.is_array() || c.size() != 2 || !c[0].is_string() || !c[1].is_string()) {
                error = "a connection is [\"from.Pin\", \"to.Pin\"]";
                return false;
            }
            PatchPin a, b;
            if (!ResolvePin(eng, c[0].get<std::string>(), a, error)) return false;
            if (!ResolvePin(eng, c[1].get<std::string>(), b, error)) return false;
            if (!eng.Connect(*a.inst, a.desc, *b.inst, b.desc, error)) return false;
        }
    }

    if (j.contains("sources")) {
        if (!j["sources"].is_object()) {
            error = "\"sources\" must be an object keyed by pin";
            return false;
        }
        for (auto& [label, s] : j["sources"].items()) {
            PatchPin pp;
            if (!ResolvePin(eng, label, pp, error)) return false;
            if (!s.is_object() || !s.contains("type") || !s["type"].is_string()) {
                error = "source of " + label + " needs a \"type\"";
                return false;
            }
            GeneratorSpec g;
            g.type = s["type"].get<std::string>();
            // Levels are given in volts, like every stream value in a patch.
            g.frequency = NumberOr(s, "frequency", 1.0);
            g.amplitude = NumberOr(s, "amplitude", g.type == "wav" ? 10.0 : 5.0) / 10.0;
            g.offset = NumberOr(s, "offset", 0.0) / 10.0;
            g.phase = NumberOr(s, "phase", 0.0);
            g.from = NumberOr(s, "from", 0.0) / 10.0;
            g.to = NumberOr(s, "to", 10.0) / 10.0;
            g.duration = NumberOr(s, "duration", static_cast<double>(out.length) / sr);
            g.seed = static_cast<uint32_t>(NumberOr(s, "seed", 1));
            g.channel = static_cast<int>(NumberOr(s, "channel", 0));
            g.loop = s.contains("loop") && s["loop"].is_boolean() && s["loop"].get<bool>();
            if (s.contains("file") && s["file"].is_string()) g.file = JoinPath(opt.base_dir, s["file"].get<std::string>());
            Generator gen = MakeGenerator(g, sr, error);
            if (!gen) {
                error = label + ": " + error;
                return false;
            }
            if (!eng.SetGenerator(*pp.inst, pp.desc, std::move(gen), error)) return false;
        }
    }

    if (j.contains("automation")) {
        if (!j["automation"].is_object()) {
            error = "\"automation\" must be an object keyed by pin";
            return false;
        }
        for (auto& [label, steps] : j["automation"].items()) {
            PatchPin pp;
            if (!ResolvePin(eng, label, pp, error)) return false;
            if (!steps.is_array()) {
                error = "automation of " + label + " must be a list of steps";
                return false;
            }
            const PinInfo& d = pp.inst->Descriptions()[pp.desc];
            for (const Json& st : steps) {
                int64_t t;
                if (!ParseTime(st, sr, t, error, label)) return false;
                const Json& v = st.is_array() ? st[1] : (st.contains("value") ? st["value"] : Json());
                if (d.IsPureUi() && d.datatype != DT_STRING) {
                    // A GUI-only pin: the step is a user change on the GUI side.
                    double value;
                    if (!SettingValue(d, v, label, value, error)) return false;
                    out.gui_steps.push_back({t, pp.inst, pp.desc, static_cast<float>(value)});
                } else if (d.datatype == DT_STRING) {
                    if (!v.is_string()) {
                        error = label + ": text automation takes texts";
                        return false;
                    }
                    if (!eng.AddTextStep(*pp.inst, pp.desc, t, v.get<std::string>(), error)) return false;
                } else {
                    double value;
                    if (!SettingValue(d, v, label, value, error)) return false;
                    if (!eng.AddStep(*pp.inst, pp.desc, t, value, error)) return false;
                }
            }
        }
    }

    std::stable_sort(out.gui_steps.begin(), out.gui_steps.end(),
                     [](const GuiStep& a, const GuiStep& b) { return a.time < b.time; });

    if (j.contains("outputs")) {
        for (const Json& o : j["outputs"]) {
            if (!o.is_object() || !o.contains("file") || !o["file"].is_string() || !o.contains("pins") ||
                !o["pins"].is_array()) {
                error = "an output is {\"file\": name, \"pins\": [\"instance.Pin\", ...]}";
                return false;
            }
            PatchOutput po;
            po.file = JoinPath(opt.out_dir, o["file"].get<std::string>());
            std::string fmt = OutputFormat(po.file);
            if (fmt.empty()) {
                error = "output '" + po.file + "': the extension must be .wav, .f32 or .csv";
                return false;
            }
            if (fmt == "csv") eng.tracing = true;
            for (const Json& p : o["pins"]) {
                PatchPin pp;
                if (!p.is_string() || !ResolvePin(eng, p.get<std::string>(), pp, error)) {
                    if (!p.is_string()) error = "output pins are \"instance.Pin\" texts";
                    return false;
                }
                const PinInfo& d = pp.inst->Descriptions()[pp.desc];
                if (d.IsStream()) {
                    if (!pp.inst->FindDspPin(pp.desc)) {
                        error = pp.label + " has no DSP pin";
                        return false;
                    }
                    pp.capture = eng.Record(*pp.inst, pp.desc, error);
                    if (pp.capture < 0) return false;
                } else if (fmt != "csv") {
                    error = pp.label + " is not a stream; write it to a .csv output";
                    return false;
                }
                po.pins.push_back(pp);
            }
            if (po.pins.empty()) {
                error = "output '" + po.file + "' names no pins";
                return false;
            }
            out.outputs.push_back(std::move(po));
        }
    }
    return true;
}

}  // namespace

bool LoadPatchText(const std::string& text, const PatchOptions& opt, LoadedPatch& out, std::string& error) {
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::exception& e) {  // parse errors, and numbers too large for a double
        error = std::string("malformed JSON: ") + e.what();
        return false;
    }
    out.text = text;
    try {
        return Build(j, opt, out, error);
    } catch (const Json::exception& e) {
        error = std::string("patch: ") + e.what();
        return false;
    } catch (const std::exception& e) {
        error = std::string("patch: ") + e.what();
        return false;
    }
}

bool LoadPatchFile(const std::string& path, PatchOptions opt, LoadedPatch& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read patch file '" + path + "'";
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    if (opt.base_dir.empty()) {
        size_t slash = path.find_last_of('/');
        opt.base_dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    if (!LoadPatchText(ss.str(), opt, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool RenderPatch(LoadedPatch& patch, const PatchOptions&, std::string& error, void (*progress)(double)) {
    Engine& eng = *patch.engine;
    if (!eng.Start(error)) return false;
    int64_t done = 0;
    const int64_t chunk = std::max<int64_t>(eng.BlockSize(), static_cast<int64_t>(eng.SampleRate()) / 4);
    size_t step = 0;
    while (done < patch.length) {
        int64_t n = std::min(chunk, patch.length - done);
        // GUI user changes due now; the run stops at the next one.
        for (; step < patch.gui_steps.size() && patch.gui_steps[step].time <= done; ++step) {
            const GuiStep& g = patch.gui_steps[step];
            eng.GuiPut(*g.inst, g.desc, g.value);
        }
        if (step < patch.gui_steps.size()) n = std::min(n, patch.gui_steps[step].time - done);
        eng.Run(n);
        done += n;
        if (progress) progress(static_cast<double>(done) / static_cast<double>(patch.length));
    }
    for (const PatchOutput& o : patch.outputs)
        if (!WriteOutput(eng, o, patch.length, error)) return false;
    return true;
}

bool SavePatch(const LoadedPatch& patch, const std::string& path, std::string& error) {
    Json j;
    try {
        j = Json::parse(patch.text);
    } catch (const Json::exception& e) {
        error = std::string("cannot save the patch: ") + e.what();
        return false;
    }
    if (!j.is_object() || !j.contains("modules") || !patch.engine) {
        error = "cannot save the patch: it has no modules";
        return false;
    }
    // Each module's entry, by instance name, in either form of "modules".
    std::vector<std::pair<std::string, Json*>> entries;
    if (j["modules"].is_array()) {
        for (Json& m : j["modules"])
            if (m.is_object() && m.contains("name") && m["name"].is_string())
                entries.emplace_back(m["name"].get<std::string>(), &m);
    } else if (j["modules"].is_object()) {
        for (auto& [k, v] : j["modules"].items()) entries.emplace_back(k, &v);
    }
    for (auto& [name, m] : entries) {
        Instance* inst = patch.engine->Find(name);
        if (!inst || !m->is_object()) continue;
        for (const PinInfo& d : inst->Descriptions()) {
            if (!(d.flags & IO_PATCH_STORE)) continue;
            Json value;
            const Instance::Pin* dsp = inst->FindDspPin(d.desc_index);
            if (d.datatype == DT_STRING) {
                value = d.IsGui() || !dsp ? inst->GuiText(d.desc_index) : dsp->text;
            } else if (d.IsGui() || !dsp) {
                if (d.datatype == DT_FVALUE || d.datatype == DT_FSAMPLE) {
                    // Nine significant digits bring back the same float.
                    double v = inst->GuiFloat(d.desc_index);
                    if (d.IsStream()) v *= 10.0;  // volts
                    value = std::strtod(FormatFloat(v).c_str(), nullptr);
                } else {
                    value = inst->GuiInt(d.desc_index);
                }
            } else {
                double v = d.IsStream() ? dsp->value * 10.0 : dsp->value;
                value = std::strtod(FormatFloat(v).c_str(), nullptr);
            }
            if (!(*m).contains("pins") || !(*m)["pins"].is_object()) (*m)["pins"] = Json::object();
            (*m)["pins"][d.name] = value;
        }
    }
    // Written beside the target and renamed over it, so a failed save leaves
    // the old file whole.
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << j.dump(2) << '\n';
        if (!f) {
            error = "cannot write '" + path + "'";
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace kvhost
