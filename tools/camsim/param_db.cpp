#include "param_db.h"

#include <algorithm>
#include <set>

namespace camsim {

namespace {

// "Image.I0.Overlay.M12.Width" -> "image.i#.overlay.m#.width": the key under which types of
// numbered (dynamic) groups are stored.
std::string PatternKey(std::string_view name) {
    std::string out;
    for (std::string_view seg : Split(name, '.')) {
        if (!out.empty())
            out.push_back('.');
        bool numbered = seg.size() >= 2 && std::isalpha(static_cast<unsigned char>(seg[0]));
        for (size_t i = 1; numbered && i < seg.size(); ++i) {
            numbered = std::isdigit(static_cast<unsigned char>(seg[i])) != 0;
        }
        if (numbered) {
            out += ToLower(seg.substr(0, 1));
            out.push_back('#');
        } else {
            out += ToLower(seg);
        }
    }
    return out;
}

std::string XmlEscape(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

// "MicrophonePower" -> "Microphone power"
std::string NiceName(std::string_view param) {
    std::string out;
    for (size_t i = 0; i < param.size(); ++i) {
        char c = param[i];
        if (i > 0 && c >= 'A' && c <= 'Z' && param[i - 1] >= 'a' && param[i - 1] <= 'z') {
            out.push_back(' ');
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool IsInteger(std::string_view v) {
    if (!v.empty() && v[0] == '-')
        v.remove_prefix(1);
    return !v.empty() && v.size() < 18 &&
           std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::string> ParseTypeDirective(std::string_view text, ParamType* type) {
    auto words = Split(Trim(text), ' ');
    if (words.empty())
        return "missing type";
    std::string kind = ToLower(words[0]);
    if (words.size() > 1 && words.back() == "readonly") {
        type->readonly = true;
        words.pop_back();
    }
    if (kind == "int") {
        type->kind = ParamType::Kind::kInt;
        if (words.size() == 3) {
            if (!IsInteger(words[1]) || !IsInteger(words[2]))
                return "bad int bounds";
            type->min = std::stoll(std::string(words[1]));
            type->max = std::stoll(std::string(words[2]));
        }
    } else if (kind == "bool") {
        type->kind = ParamType::Kind::kBool;
        if (words.size() == 3) {
            type->true_text = std::string(words[1]);
            type->false_text = std::string(words[2]);
        }
    } else if (kind == "string") {
        type->kind = ParamType::Kind::kString;
        if (words.size() == 2) {
            auto n = ParseUint(words[1]);
            if (!n)
                return "bad string length";
            type->maxlen = *n;
        }
    } else if (kind == "enum") {
        type->kind = ParamType::Kind::kEnum;
        // Entries "value:nice text|value2:nice text 2"; nice texts may contain blanks.
        std::string_view rest = Trim(text.substr(text.find("enum") + 4));
        if (type->readonly && rest.size() >= 8 && rest.substr(rest.size() - 8) == "readonly") {
            rest = Trim(rest.substr(0, rest.size() - 8));
        }
        for (std::string_view item : Split(rest, '|')) {
            size_t colon = item.find(':');
            if (colon == std::string_view::npos) {
                type->entries.emplace_back(std::string(Trim(item)), std::string(Trim(item)));
            } else {
                type->entries.emplace_back(std::string(Trim(item.substr(0, colon))),
                                           std::string(Trim(item.substr(colon + 1))));
            }
        }
        if (type->entries.empty())
            return "enum without entries";
    } else {
        return "unknown type '" + kind + "'";
    }
    return std::nullopt;
}

}  // namespace

std::string ParamDb::StripRoot(std::string_view name) {
    name = Trim(name);
    if (IStartsWith(name, "root."))
        name.remove_prefix(5);
    return std::string(name);
}

std::optional<std::string> ParamDb::LoadProfileText(std::string_view text) {
    std::vector<Entry> entries;
    std::map<std::string, ParamType> types;
    std::vector<ParamTemplate> templates;
    ProfileOptions options;
    size_t line_no = 0;
    for (std::string_view line : Split(text, '\n')) {
        ++line_no;
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        auto fail = [&](const std::string& why) {
            return "line " + std::to_string(line_no) + ": " + why;
        };
        if (line[0] == '@') {
            size_t sp = line.find(' ');
            std::string_view directive = line.substr(0, sp);
            std::string_view rest = sp == std::string_view::npos ? "" : Trim(line.substr(sp + 1));
            if (directive == "@option") {
                size_t eq = rest.find('=');
                if (eq == std::string_view::npos)
                    return fail("@option needs name=value");
                std::string key(Trim(rest.substr(0, eq)));
                std::string val(Trim(rest.substr(eq + 1)));
                if (key == "http_version" && (val == "1.0" || val == "1.1")) {
                    options.http_version = val;
                } else if (key == "line_end" && (val == "crlf" || val == "lf")) {
                    options.line_end = val == "crlf" ? "\r\n" : "\n";
                } else if (key == "mac" && val.size() == 12) {
                    options.mac = val;
                } else {
                    return fail("bad @option '" + key + "'");
                }
            } else if (directive == "@type") {
                size_t sp2 = rest.find(' ');
                if (sp2 == std::string_view::npos)
                    return fail("@type needs a name and a type");
                ParamType type;
                if (auto err = ParseTypeDirective(rest.substr(sp2 + 1), &type))
                    return fail(*err);
                types[PatternKey(StripRoot(rest.substr(0, sp2)))] = type;
            } else if (directive == "@template") {
                // @template <name> <parent> <letter> <max> Param=value|Param=value
                auto words = Split(rest, ' ');
                if (words.size() < 4 || words[2].size() != 1)
                    return fail("bad @template");
                ParamTemplate t;
                t.name = ToLower(words[0]);
                t.parent = StripRoot(words[1]);
                t.letter = words[2][0];
                auto max = ParseUint(words[3]);
                if (!max)
                    return fail("bad @template maximum");
                t.max_groups = *max;
                size_t defaults_at = 0;
                for (int w = 0; w < 4; ++w)
                    defaults_at = rest.find(' ', defaults_at) + 1;
                if (words.size() > 4 && defaults_at > 0) {
                    for (std::string_view item : Split(rest.substr(defaults_at), '|')) {
                        size_t eq = item.find('=');
                        if (eq == std::string_view::npos)
                            return fail("bad template default");
                        t.defaults.emplace_back(std::string(item.substr(0, eq)),
                                                std::string(item.substr(eq + 1)));
                    }
                }
                templates.push_back(std::move(t));
            } else {
                return fail("unknown directive");
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return fail("expected root.Name=value");
        std::string name = StripRoot(line.substr(0, eq));
        if (name.empty())
            return fail("empty parameter name");
        // Values are raw text; only the line end is trimmed, trailing blanks are kept.
        std::string_view raw = line.substr(eq + 1);
        entries.push_back({name, std::string(raw)});
    }
    std::lock_guard lock(mutex_);
    entries_ = std::move(entries);
    types_ = std::move(types);
    templates_ = std::move(templates);
    options_ = options;
    RebuildIndexLocked();
    return std::nullopt;
}

ProfileOptions ParamDb::Options() const {
    std::lock_guard lock(mutex_);
    return options_;
}

void ParamDb::RebuildIndexLocked() {
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i)
        index_[ToLower(entries_[i].name)] = i;
}

std::optional<size_t> ParamDb::FindLocked(std::string_view name) const {
    auto it = index_.find(ToLower(StripRoot(name)));
    if (it == index_.end())
        return std::nullopt;
    return it->second;
}

std::vector<size_t> ParamDb::MatchGroupLocked(std::string_view group) const {
    std::string g = ToLower(StripRoot(group));
    std::vector<size_t> out;
    if (g.empty()) {
        for (size_t i = 0; i < entries_.size(); ++i)
            out.push_back(i);
        return out;
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        const std::string& n = entries_[i].name;
        if (n.size() < g.size())
            continue;
        if (!IEquals(std::string_view(n).substr(0, g.size()), g))
            continue;
        if (n.size() == g.size() || n[g.size()] == '.')
            out.push_back(i);
    }
    return out;
}

const ParamType* ParamDb::TypeOfLocked(const std::string& name) const {
    auto it = types_.find(ToLower(name));
    if (it == types_.end())
        it = types_.find(PatternKey(name));
    return it == types_.end() ? nullptr : &it->second;
}

void ParamDb::SetType(std::string_view name, const ParamType& type) {
    std::lock_guard lock(mutex_);
    types_[PatternKey(StripRoot(name))] = type;
}

std::optional<std::string> ParamDb::Get(std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto i = FindLocked(name);
    if (!i)
        return std::nullopt;
    return entries_[*i].value;
}

void ParamDb::Set(std::string_view name, std::string_view value) {
    std::lock_guard lock(mutex_);
    if (auto i = FindLocked(name)) {
        entries_[*i].value = std::string(value);
        return;
    }
    entries_.push_back({StripRoot(name), std::string(value)});
    index_[ToLower(entries_.back().name)] = entries_.size() - 1;
}

bool ParamDb::HasGroup(std::string_view group) const {
    std::lock_guard lock(mutex_);
    return !MatchGroupLocked(group).empty();
}

std::vector<std::pair<std::string, std::string>> ParamDb::GroupEntries(
    std::string_view group) const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i : MatchGroupLocked(group))
        out.emplace_back(entries_[i].name, entries_[i].value);
    return out;
}

std::string ParamDb::List(std::string_view groups) const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (std::string_view g : Split(groups, ',')) {
        g = Trim(g);
        auto match = MatchGroupLocked(g);
        if (match.empty()) {
            // Echo the name as requested, so "group=Image" gives "... in group 'Image'".
            out += "# Error: Error -1 getting param in group '" + std::string(g) + "'" +
                   options_.line_end;
            continue;
        }
        for (size_t i : match) {
            out += "root." + entries_[i].name + "=" + entries_[i].value + options_.line_end;
        }
    }
    return out;
}

std::optional<std::string> ParamDb::ValidateLocked(const std::string& name,
                                                   const std::string& value) const {
    const ParamType* t = TypeOfLocked(name);
    if (!t)
        return std::nullopt;
    bool ok = true;
    switch (t->kind) {
        case ParamType::Kind::kString:
            ok = t->maxlen == 0 || value.size() <= t->maxlen;
            break;
        case ParamType::Kind::kInt:
            ok = IsInteger(value);
            if (ok && (t->min != 0 || t->max != 0)) {
                long long v = std::stoll(value);
                ok = v >= t->min && v <= t->max;
            }
            break;
        case ParamType::Kind::kBool:
            ok = value == t->true_text || value == t->false_text;
            break;
        case ParamType::Kind::kEnum:
            ok = std::any_of(t->entries.begin(), t->entries.end(),
                             [&](const auto& e) { return e.first == value; });
            break;
    }
    if (t->readonly)
        ok = false;
    if (ok)
        return std::nullopt;
    return "# Error: Error setting 'root." + name + "' to '" + value + "'!";
}

std::string ParamDb::Update(const QueryArgs& args) {
    std::lock_guard lock(mutex_);
    // Validate every assignment before storing any, so a refused update changes nothing.
    std::vector<std::pair<size_t, std::string>> changes;
    for (const auto& [key, value] : args) {
        if (IEquals(key, "action"))
            continue;
        auto i = FindLocked(key);
        if (!i) {
            return "# Error: Error setting 'root." + StripRoot(key) + "' to '" + value + "'!" +
                   options_.line_end;
        }
        if (auto err = ValidateLocked(entries_[*i].name, value))
            return *err + options_.line_end;
        changes.emplace_back(*i, value);
    }
    for (auto& [i, value] : changes)
        entries_[i].value = std::move(value);
    return "OK" + options_.line_end;
}

std::string ParamDb::Add(const QueryArgs& args) {
    std::lock_guard lock(mutex_);
    auto tmpl_name = FindArg(args, "template");
    auto group = FindArg(args, "group");
    const ParamTemplate* t = nullptr;
    for (const auto& cand : templates_) {
        if (tmpl_name && IEquals(cand.name, *tmpl_name))
            t = &cand;
    }
    if (!t) {
        return "# Error: Unknown template '" + tmpl_name.value_or("") + "'" + options_.line_end;
    }
    if (group && !IEquals(StripRoot(*group), t->parent)) {
        return "# Error: Template '" + t->name + "' does not belong to group '" + *group + "'" +
               options_.line_end;
    }
    // Lowest free index; count existing groups for the limit.
    std::set<unsigned> used;
    std::string prefix = ToLower(t->parent) + "." + static_cast<char>(std::tolower(t->letter));
    for (const auto& e : entries_) {
        std::string n = ToLower(e.name);
        if (n.compare(0, prefix.size(), prefix) != 0)
            continue;
        size_t dot = n.find('.', prefix.size());
        if (dot == std::string::npos)
            continue;
        if (auto idx = ParseUint(std::string_view(n).substr(prefix.size(), dot - prefix.size()))) {
            used.insert(static_cast<unsigned>(*idx));
        }
    }
    size_t limit = t->max_groups;
    if (auto maxg = FindLocked(t->parent + ".MaxGroups")) {
        if (auto v = ParseUint(entries_[*maxg].value))
            limit = *v;
    }
    if (limit > 0 && used.size() >= limit) {
        return "# Error: Maximum number of groups reached for '" + t->parent + "'" +
               options_.line_end;
    }
    unsigned n = 0;
    while (used.count(n))
        ++n;
    std::string group_name = t->parent + "." + t->letter + std::to_string(n);
    std::vector<Entry> fresh;
    for (const auto& [param, value] : t->defaults)
        fresh.push_back({group_name + "." + param, value});
    // Initial values come as "<Parent>.<Letter>.<Param>=value" (no number yet).
    std::string arg_prefix =
        ToLower(t->parent) + "." + static_cast<char>(std::tolower(t->letter)) + ".";
    for (const auto& [key, value] : args) {
        std::string k = ToLower(StripRoot(key));
        if (k == "action" || k == "template" || k == "group")
            continue;
        if (k.compare(0, arg_prefix.size(), arg_prefix) != 0) {
            return "# Error: Unknown parameter '" + key + "'" + options_.line_end;
        }
        std::string param = k.substr(arg_prefix.size());
        auto it = std::find_if(fresh.begin(), fresh.end(), [&](const Entry& e) {
            return IEquals(std::string_view(e.name).substr(group_name.size() + 1), param);
        });
        if (it == fresh.end()) {
            return "# Error: Unknown parameter '" + key + "'" + options_.line_end;
        }
        if (auto err = ValidateLocked(it->name, value))
            return *err + options_.line_end;
        it->value = value;
    }
    for (auto& e : fresh)
        entries_.push_back(std::move(e));
    RebuildIndexLocked();
    return std::string(1, t->letter) + std::to_string(n) + " OK" + options_.line_end;
}

std::string ParamDb::Remove(std::string_view groups) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> doomed;
    for (std::string_view g : Split(groups, ',')) {
        std::string name = StripRoot(Trim(g));
        // Only numbered groups made by templates can go.
        size_t dot = name.rfind('.');
        std::string_view last = dot == std::string::npos ? std::string_view(name)
                                                         : std::string_view(name).substr(dot + 1);
        bool numbered = last.size() >= 2 && ParseUint(last.substr(1)).has_value();
        if (!numbered || MatchGroupLocked(name).empty()) {
            return "# Error: Error removing group 'root." + name + "'" + options_.line_end;
        }
        doomed.push_back(name);
    }
    for (const auto& name : doomed) {
        auto match = MatchGroupLocked(name);
        std::set<size_t> drop(match.begin(), match.end());
        std::vector<Entry> kept;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (!drop.count(i))
                kept.push_back(std::move(entries_[i]));
        }
        entries_ = std::move(kept);
        RebuildIndexLocked();
    }
    return "OK" + options_.line_end;
}

std::string ParamDb::ListDefinitions(std::string_view groups) const {
    std::lock_guard lock(mutex_);
    auto value_of = [&](const char* name) {
        auto i = FindLocked(name);
        return i ? entries_[*i].value : std::string();
    };
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<parameterDefinitions version=\"1.0\" "
        "xmlns=\"http://www.axis.com/ParameterDefinitionsSchema\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:schemaLocation=\"http://www.axis.com/ParameterDefinitionsSchema "
        "http://www.axis.com/ParameterDefinitionsSchema.xsd\">\n";
    out += "  <model>" + XmlEscape(value_of("Brand.ProdShortName")) + "</model>\n";
    out += "  <firmwareVersion>" + XmlEscape(value_of("Properties.Firmware.Version")) +
           "</firmwareVersion>\n";
    std::set<size_t> selected;
    for (std::string_view g : Split(groups, ',')) {
        for (size_t i : MatchGroupLocked(Trim(g)))
            selected.insert(i);
    }
    // Emit nested groups in database order, opening and closing as the path changes.
    std::vector<std::string> open{"root"};
    out += "  <group name=\"root\">\n";
    auto indent = [&](size_t depth) { return std::string(2 * (depth + 1), ' '); };
    for (size_t i : selected) {
        const Entry& e = entries_[i];
        auto path = Split(e.name, '.');
        std::vector<std::string> groups_of(path.begin(), path.end() - 1);
        size_t common = 0;
        while (common < groups_of.size() && common + 1 < open.size() &&
               open[common + 1] == groups_of[common]) {
            ++common;
        }
        while (open.size() > common + 1) {
            open.pop_back();
            out += indent(open.size()) + "</group>\n";
        }
        for (size_t k = common; k < groups_of.size(); ++k) {
            out += indent(open.size()) + "<group name=\"" + XmlEscape(groups_of[k]) + "\">\n";
            open.push_back(groups_of[k]);
        }
        std::string param(path.back());
        out += indent(open.size()) + "<parameter name=\"" + XmlEscape(param) + "\" value=\"" +
               XmlEscape(e.value) + "\" securityLevel=\"4444\" niceName=\"" +
               XmlEscape(NiceName(param)) + "\">\n";
        const ParamType* t = TypeOfLocked(e.name);
        ParamType guessed;
        if (!t) {
            if (e.value == "yes" || e.value == "no") {
                guessed.kind = ParamType::Kind::kBool;
            } else if (e.value == "true" || e.value == "false") {
                guessed.kind = ParamType::Kind::kBool;
                guessed.true_text = "true";
                guessed.false_text = "false";
            } else if (IsInteger(e.value)) {
                guessed.kind = ParamType::Kind::kInt;
            }
            guessed.readonly = IStartsWith(e.name, "Properties.") || IStartsWith(e.name, "Brand.");
            t = &guessed;
        }
        std::string body;
        switch (t->kind) {
            case ParamType::Kind::kString:
                body = t->maxlen ? "<string maxlen=\"" + std::to_string(t->maxlen) + "\"/>"
                                 : "<string/>";
                break;
            case ParamType::Kind::kInt:
                body = (t->min != 0 || t->max != 0)
                           ? "<int min=\"" + std::to_string(t->min) + "\" max=\"" +
                                 std::to_string(t->max) + "\"/>"
                           : "<int/>";
                break;
            case ParamType::Kind::kBool:
                body = "<bool true=\"" + XmlEscape(t->true_text) + "\" false=\"" +
                       XmlEscape(t->false_text) + "\"/>";
                break;
            case ParamType::Kind::kEnum:
                body = "<enum>";
                for (const auto& [v, nice] : t->entries) {
                    body += "<entry value=\"" + XmlEscape(v) + "\" niceValue=\"" + XmlEscape(nice) +
                            "\"/>";
                }
                body += "</enum>";
                break;
        }
        out += indent(open.size() + 1) + (t->readonly ? "<type readonly=\"true\">" : "<type>") +
               body + "</type>\n";
        out += indent(open.size()) + "</parameter>\n";
    }
    while (!open.empty()) {
        open.pop_back();
        out += indent(open.size()) + "</group>\n";
    }
    out += "</parameterDefinitions>\n";
    return out;
}

}  // namespace camsim
