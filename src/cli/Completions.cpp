#include "cli/Completions.hpp"

#include <map>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Strings.hpp"
#include "cli/Help.hpp"
#include "cli/SourceSelection.hpp"
#include "settings/SettingsManager.hpp"

namespace vt::cli {

namespace {

// One command of the tree, by its words after the program's name ("" for the program).
struct Node {
    std::string path;
    std::vector<std::string> commands;
    std::vector<std::string> options;  // "--all", "-y"
    std::vector<std::string> values;   // the words it takes in place of arguments, when known
    std::vector<std::pair<std::string, std::string>> described;  // command or long option, its help
    std::string idLister;  // the words after the program's name that print the ids it takes
    std::vector<std::string> valued;  // its options that take the next word as their value
};

// The commands that take item ids, and what lists them: the pending rows for those that act
// on an update, every row for those that name any item, the ignored items for those that
// give one back.
std::string idLister(const std::string& path) {
    if (path == "update" || path == "skip" || path == "snooze" || path == "download") return "list --ids";
    if (path == "ignore" || path == "why") return "list --all --ids";
    if (path == "unignore" || path == "unsnooze") return "ignored --ids";
    return "";
}

// The settings' names, after the verbs that take one: the list settings' alone after those
// that add to or remove from a list.
std::vector<std::string> argumentValues(const std::string& path) {
    const bool lists = path == "settings add" || path == "settings remove";
    std::vector<std::string> keys;
    if (!lists && path != "settings get" && path != "settings set" && path != "settings reset") return keys;
    for (const SettingDefinition& definition : settingDefinitions()) {
        if (!lists || definition.kind == SettingKind::StringList) keys.emplace_back(definition.key);
    }
    return keys;
}

void collect(const CLI::App& command, const std::string& path, std::vector<Node>& nodes) {
    Node node{path, {}, {}, argumentValues(path), {}, idLister(path)};
    for (const CLI::App* sub : visibleCommands(command)) {
        node.commands.push_back(sub->get_name());
        node.described.emplace_back(sub->get_name(), sub->get_description());
    }
    for (const CLI::Option* option : command.get_options([](const CLI::Option* o) {
             return !o->get_group().empty() && o->nonpositional();
         })) {
        for (const std::string& name : option->get_lnames()) {
            node.options.push_back("--" + name);
            node.described.emplace_back("--" + name, option->get_description());
        }
        for (const std::string& name : option->get_snames()) node.options.push_back("-" + name);
        if (option->get_type_size_max() > 0) {
            for (const std::string& name : option->get_lnames()) node.valued.push_back("--" + name);
            for (const std::string& name : option->get_snames()) node.valued.push_back("-" + name);
        }
    }
    nodes.push_back(node);
    for (const CLI::App* sub : visibleCommands(command)) {
        collect(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), nodes);
    }
}

// The values an option takes, when they are few and known.
std::map<std::string, std::string> optionValues() {
    const std::string sources = join(SourceSelection::knownNames(), " ");
    return {{"--only", sources}, {"--exclude", sources}, {"--color", "auto always never"}};
}

// fish reads \' and \\ inside single quotes.
std::string fishQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "'";
}

std::string singleQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The arms of the shell's `case` that follow the words typed so far down the command tree,
// the same in bash and zsh.
std::string commandPathArms(const std::vector<Node>& nodes) {
    std::string arms;
    for (const Node& node : nodes) {
        if (node.path.empty()) continue;
        arms.append(12, ' ').append(singleQuoted(node.path)).append(") cmdpath=\"${cmdpath:+$cmdpath }$word\" ;;\n");
    }
    return arms;
}

std::string bashScript(const std::vector<Node>& nodes) {
    std::string out = "# bash completion for vantreel; load with: source <(vantreel completions bash)\n";
    out += "_vantreel() {\n";
    out += "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n";
    out += "    local cmdpath=\"\" word i\n";
    out += "    for ((i = 1; i < COMP_CWORD; i++)); do\n";
    out += "        word=\"${COMP_WORDS[i]}\"\n";
    out += "        case \"$word\" in -*) continue ;; esac\n";
    out += "        case \"${cmdpath:+$cmdpath }$word\" in\n";
    out += commandPathArms(nodes);
    out += "        esac\n";
    out += "    done\n";
    out += "    case \"$prev\" in\n";
    for (const auto& [option, values] : optionValues()) {
        out += "        " + option + ") COMPREPLY=($(compgen -W " + singleQuoted(values) + " -- \"${cur##*,}\")); return ;;\n";
    }
    out += "    esac\n";
    out += "    local words ids=\"\" valued=\"\"\n";
    out += "    case \"$cmdpath\" in\n";
    for (const Node& node : nodes) {
        std::vector<std::string> words = node.commands;
        words.insert(words.end(), node.values.begin(), node.values.end());
        words.insert(words.end(), node.options.begin(), node.options.end());
        out += "        " + singleQuoted(node.path) + ") words=" + singleQuoted(join(words, " "));
        if (!node.valued.empty()) out += "; valued=" + singleQuoted(join(node.valued, " "));
        if (!node.idLister.empty()) out += "; ids=" + singleQuoted(node.idLister);
        out += " ;;\n";
    }
    out += "    esac\n";
    // After an option that takes a value, the word is that value: a file name, a date, a
    // version, which bash's own completion takes over.
    out += "    if [[ -n \"$valued\" && \" $valued \" == *\" $prev \"* ]]; then\n";
    out += "        compopt -o default 2>/dev/null\n";
    out += "        COMPREPLY=()\n";
    out += "        return\n";
    out += "    fi\n";
    // An id holds a ":", where bash splits words: the whole word typed is matched, and what
    // follows its last ":" is what bash replaces. The ids are compared, never expanded.
    out += "    if [[ -n \"$ids\" && \"$cur\" != -* ]]; then\n";
    out += "        local typed=\"${COMP_LINE:0:COMP_POINT}\" id\n";
    out += "        typed=\"${typed##*[[:blank:]]}\"\n";
    out += "        COMPREPLY=()\n";
    out += "        while IFS= read -r id; do\n";
    out += "            [[ \"$id\" == \"$typed\"* ]] && COMPREPLY+=(\"${id#\"${typed%\"${typed##*:}\"}\"}\")\n";
    out += "        done < <(command vantreel $ids 2>/dev/null)\n";
    out += "        return\n";
    out += "    fi\n";
    out += "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n";
    out += "}\n";
    out += "complete -F _vantreel vantreel\n";
    return out;
}

std::string zshScript(const std::vector<Node>& nodes) {
    std::string out = "#compdef vantreel\n# zsh completion for vantreel; load with: source <(vantreel completions zsh)\n";
    out += "_vantreel() {\n";
    out += "    local cmdpath=\"\" word i\n";
    out += "    for ((i = 2; i < CURRENT; i++)); do\n";
    out += "        word=\"${words[i]}\"\n";
    out += "        [[ \"$word\" == -* ]] && continue\n";
    out += "        case \"${cmdpath:+$cmdpath }$word\" in\n";
    out += commandPathArms(nodes);
    out += "        esac\n";
    out += "    done\n";
    out += "    case \"${words[CURRENT-1]}\" in\n";
    for (const auto& [option, values] : optionValues()) {
        out += "        " + option + ") compadd -- " + values + "; return ;;\n";
    }
    out += "    esac\n";
    out += "    local -a described\n";
    out += "    local ids=\"\" valued=\"\"\n";
    out += "    case \"$cmdpath\" in\n";
    for (const Node& node : nodes) {
        out += "        " + singleQuoted(node.path) + ") described=(";
        for (const auto& [word, help] : node.described) {
            std::string entry = word + ":" + help;
            out += ' ';
            out += singleQuoted(entry);
        }
        for (const std::string& value : node.values) {
            out += ' ';
            out += singleQuoted(value);
        }
        out += " )";
        if (!node.valued.empty()) out += "; valued=" + singleQuoted(join(node.valued, " "));
        if (!node.idLister.empty()) out += "; ids=" + singleQuoted(node.idLister);
        out += " ;;\n";
    }
    out += "    esac\n";
    out += "    if [[ -n \"$valued\" && \" $valued \" == *\" ${words[CURRENT-1]} \"* ]]; then\n";
    out += "        _default\n";
    out += "        return\n";
    out += "    fi\n";
    // Added as they are: _describe would take the ":" of an id for its description's.
    out += "    if [[ -n \"$ids\" && \"${words[CURRENT]}\" != -* ]]; then\n";
    out += "        compadd -- ${(f)\"$(command vantreel ${=ids} 2>/dev/null)\"}\n";
    out += "        return\n";
    out += "    fi\n";
    out += "    _describe 'vantreel' described\n";
    out += "}\n";
    out += "compdef _vantreel vantreel 2>/dev/null || _vantreel \"$@\"\n";
    return out;
}

std::string fishScript(const std::vector<Node>& nodes) {
    std::string out = "# fish completion for vantreel; load with: vantreel completions fish | source\n";
    std::string commands;
    for (const Node& node : nodes) {
        if (!node.path.empty()) commands += " " + fishQuoted(node.path);
    }
    out += "function __fish_vantreel_path\n";
    out += "    set -l cmdpath\n";
    out += "    for word in (commandline -opc)[2..-1]\n";
    out += "        string match -q -- '-*' $word; and continue\n";
    out += "        set -l next (string join ' ' $cmdpath $word)\n";
    out += "        contains -- $next" + commands + "; and set cmdpath $next\n";
    out += "    end\n";
    out += "    string join ' ' $cmdpath\n";
    out += "end\n";
    out += "complete -c vantreel -f\n";
    for (const Node& node : nodes) {
        // The command words typed so far must be exactly this command's path.
        const std::string condition = "test \"$(__fish_vantreel_path)\" = \"" + node.path + "\"";
        for (const auto& [word, help] : node.described) {
            const std::string what = word.rfind("--", 0) == 0 ? "-l " + word.substr(2) : "-a " + word;
            out += "complete -c vantreel -n " + fishQuoted(condition) + " " + what + " -d " + fishQuoted(help) + "\n";
        }
        if (!node.values.empty()) {
            out += "complete -c vantreel -n " + fishQuoted(condition) + " -a " + fishQuoted(join(node.values, " ")) + "\n";
        }
        if (!node.idLister.empty()) {
            std::string idCondition = condition;
            if (!node.valued.empty()) idCondition += "; and not contains -- (commandline -opc)[-1] " + join(node.valued, " ");
            out += "complete -c vantreel -n " + fishQuoted(idCondition) + " -a " +
                   fishQuoted("(command vantreel " + node.idLister + " 2>/dev/null)") + "\n";
        }
    }
    for (const auto& [option, values] : optionValues()) {
        out += "complete -c vantreel -l " + option.substr(2) + " -x -a " + fishQuoted(values) + "\n";
    }
    return out;
}

}  // namespace

std::optional<std::string> completionScript(const CLI::App& app, std::string_view shell) {
    std::vector<Node> nodes;
    collect(app, "", nodes);
    if (shell == "bash") return bashScript(nodes);
    if (shell == "zsh") return zshScript(nodes);
    if (shell == "fish") return fishScript(nodes);
    return std::nullopt;
}

}  // namespace vt::cli
