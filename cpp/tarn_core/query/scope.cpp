#include "query/scope.h"

#include "util/glob.h"
#include "util/hash.h"
#include "util/lowercase.h"

namespace tarn::query {

std::vector<std::string> local_scopes(const Trace& trace, std::string_view scope_name) {
    std::vector<std::string> out;
    // A hashed set rather than a scan of the result: a dump may declare very many siblings.
    NameSet seen;
    auto add = [&](std::string child) {
        if (seen.insert(child).second) out.push_back(std::move(child));
    };
    if (scope_name.empty()) {
        for (const std::string& s : trace.scopes())
            if (s.find('.') == std::string::npos) add(s);
        return out;
    }
    std::string prefix(scope_name);
    prefix.push_back('.');
    for (const std::string& s : trace.scopes()) {
        if (!s.starts_with(prefix)) continue;
        std::string_view rest = std::string_view(s).substr(prefix.size());
        add(prefix + std::string(rest.substr(0, rest.find('.'))));
    }
    return out;
}

std::vector<std::string> local_signals(const Trace& trace, std::string_view scope_name) {
    std::vector<std::string> out;
    std::string prefix(scope_name);
    if (!prefix.empty()) prefix.push_back('.');
    for (const std::string& name : trace.signal_names()) {
        if (!name.starts_with(prefix)) continue;
        if (std::string_view(name).substr(prefix.size()).find('.') == std::string_view::npos)
            out.push_back(name);
    }
    return out;
}

std::optional<std::string> resolve(const Trace& trace, std::string_view scope_name,
                                   std::string_view short_name) {
    std::string candidate;
    if (!scope_name.empty()) {
        candidate.assign(scope_name);
        candidate.push_back('.');
    }
    candidate.append(short_name);
    if (trace.signal_id(candidate)) return candidate;
    for (const std::string& name : trace.signal_names()) {
        if (!name.ends_with(short_name) || !name.starts_with(scope_name)) continue;
        size_t cut = name.size() - short_name.size();
        if (cut == 0 || name[cut - 1] == '.') return name;
    }
    return std::nullopt;
}

std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern) {
    std::vector<std::string> out;
    for (const std::string& name : trace.signal_names())
        if (glob_match(pattern, name)) out.push_back(name);
    return out;
}

std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring) {
    std::vector<std::string> out;
    const std::string needle = text::to_lower(substring);
    std::string lowered;
    for (const std::string& name : trace.signal_names()) {
        lowered.clear();
        text::append_lower(name, lowered);
        if (lowered.find(needle) != std::string::npos) out.push_back(name);
    }
    return out;
}

}  // namespace tarn::query
