/*
 * vantorell-check: lint a data file, explain a visitor's assignment, show an
 * experiment's split.
 *
 * Built from the module's own core (the reader, targeting, the visitor's
 * number and the choice of variations, the texts of the outcome and of the
 * failures), with nginx's own parsers of a request line and of a Cookie
 * header.  Nothing here decides what the module would do by other means:
 * where the core has no answer for a question, the question is put to the
 * core in a smaller form (one experiment, one condition) rather than answered
 * again here.
 *
 * The commands and their options are tables: the usage, the complaints about
 * arguments and the dispatch all come from them.
 */
#include "check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Operands = std::vector<std::string>;
using vcheck::Options;

/* An option: what it sets from its value, and the complaint when the value
 * is missing or refused. */
struct Option {
    const char *name;
    const char *complaint;
    bool (*take)(const char *value, Options *options);
};

bool takeFormat(const char *value, Options *options)
{
    if (strcmp(value, "text") == 0) {
        options->format = vcheck::Format::Text;
        return true;
    }
    if (strcmp(value, "json") == 0) {
        options->format = vcheck::Format::Json;
        return true;
    }
    return false;
}

/* An option that takes any text. */
template <std::string Options::*text, bool Options::*given>
bool takeText(const char *value, Options *options)
{
    options->*text = value;
    options->*given = true;
    return true;
}

bool takeVisitors(const char *value, Options *options)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(value, &end, 10);
    if (*value == '\0' || *end != '\0' || errno != 0 || value[0] == '-'
        || n > vcheck::kMaxVisitors) {
        return false;
    }
    options->visitors = n;
    return true;
}

const Option kOptions[] = {
    {"--format", "takes text or json", takeFormat},
    {"--code", "takes a value", takeText<&Options::code, &Options::hasCode>},
    {"--cookie", "takes a value", takeText<&Options::cookie, &Options::hasCookie>},
    {"--visitor-id", "takes a value", takeText<&Options::visitorId, &Options::hasVisitorId>},
    {"--force", "takes a value", takeText<&Options::force, &Options::hasForce>},
    {"--stopped", "takes a value", takeText<&Options::stopped, &Options::hasStopped>},
    {"--host", "takes a value", takeText<&Options::host, &Options::hasHost>},
    {"--visitors", "takes a number from 0 to 100000000", takeVisitors},
};

/* A command: its usage (its operands, then its options as the usage lines
 * group them), what it does, the options it takes, how many operands, and
 * what runs it. */
struct Command {
    const char *name;
    const char *operands;
    std::vector<const char *> usage;
    std::vector<const char *> about;
    std::vector<const char *> options;
    size_t fewest;
    size_t most;
    const char *operandComplaint;
    int (*run)(const Operands &operands, const Options &options);
};

const Command kCommands[] = {
    {"lint", "FILE...", {"[--format text|json]"},
     {"every problem the module would meet in the data files, in the",
      "module's own texts, and warnings for what it accepts but is",
      "almost always a mistake"},
     {"--format"}, 1, SIZE_MAX, "lint takes at least one FILE",
     [](const Operands &operands, const Options &options) {
         return vcheck::lint(operands, options);
     }},
    {"explain", "FILE URL",
     {"[--code CODE | --cookie 'HEADER']", "[--visitor-id ID] [--force LIST]",
      "[--stopped LIST] [--host HOST] [--format text|json]"},
     {"the URL text the module builds, which experiments target it and",
      "which group and condition decided, the visitor's code, digest and",
      "number, each targeted experiment's variation, the experiments",
      "header and the location of the redirect"},
     {"--format", "--code", "--cookie", "--visitor-id", "--force", "--stopped", "--host"}, 2, 2,
     "explain takes FILE and URL",
     [](const Operands &operands, const Options &options) {
         return vcheck::explain(operands[0], operands[1], options);
     }},
    {"split", "FILE", {"[--visitors N] [--format text|json]"},
     {"each variation's share by the module's choice rule, and the",
      "shares observed over N random visitor codes (default 100000)"},
     {"--format", "--visitors"}, 1, 1, "split takes one FILE",
     [](const Operands &operands, const Options &options) {
         return vcheck::split(operands[0], options);
     }},
};

const char kProgram[] = "vantorell-check";

const char kNotes[] =
    "URL is http://HOST/PATH?QUERY or /PATH?QUERY (the host then comes from\n"
    "--host, or is empty as for an HTTP/1.0 request without Host).\n"
    "--visitor-id and --force take what vantorell_visitor_id and vantorell_force\n"
    "would give for the request: a non-empty id gives the code, an empty one\n"
    "leaves it to --code or --cookie; LIST is \"101=2, 202=0\".\n"
    "--stopped names the variations that vantorell_guardrail stop has stopped\n"
    "(\"101=2\"): a visitor the number sends there gets the reference.\n"
    "\n"
    "exit status: 0 clean, 1 warnings only (lint), 2 errors (lint: a problem\n"
    "the module meets; explain, split: a data file the module cannot use, or\n"
    "bad arguments)\n";

/* The usage lines of every command, what each does, and the notes. */
std::string usage()
{
    std::string out;
    const char *lead = "usage: ";
    for (const Command &command : kCommands) {
        std::string line = std::string(lead) + kProgram + " " + command.name + " "
                           + command.operands + " ";
        std::string indent(line.size(), ' ');
        for (const char *group : command.usage) {
            out += line + group + "\n";
            line = indent;
        }
        lead = "       ";
    }
    out += std::string(lead) + kProgram + " --help\n\n";
    for (const Command &command : kCommands) {
        std::string name = command.name;
        name.resize(9, ' ');
        for (const char *line : command.about) {
            out += name + line + "\n";
            name.assign(9, ' ');
        }
    }
    return out + "\n" + kNotes;
}

int usageError(const std::string &complaint)
{
    fprintf(stderr, "%s: %s\n\n%s", kProgram, complaint.c_str(), usage().c_str());
    return vcheck::kExitErrors;
}

bool isHelp(const std::string &arg)
{
    return arg == "--help" || arg == "-h";
}

const Command *commandNamed(const std::string &name)
{
    for (const Command &command : kCommands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

/* The option of that name if the command takes it. */
const Option *optionOf(const Command &command, const std::string &name)
{
    for (const char *taken : command.options) {
        if (name != taken) {
            continue;
        }
        for (const Option &option : kOptions) {
            if (name == option.name) {
                return &option;
            }
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "%s", usage().c_str());
        return vcheck::kExitErrors;
    }
    if (isHelp(argv[1]) || strcmp(argv[1], "help") == 0) {
        printf("%s", usage().c_str());
        return vcheck::kExitClean;
    }
    const Command *command = commandNamed(argv[1]);
    if (command == nullptr) {
        return usageError(std::string("unknown command \"") + argv[1] + "\"");
    }

    Options options;
    Operands operands;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        if (isHelp(arg)) {
            printf("%s", usage().c_str());
            return vcheck::kExitClean;
        }
        if (const Option *option = optionOf(*command, arg)) {
            const char *value = i + 1 < argc ? argv[++i] : nullptr;
            if (value == nullptr || !option->take(value, &options)) {
                return usageError(std::string(option->name) + " " + option->complaint);
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return usageError("unknown option \"" + arg + "\"");
        } else {
            operands.push_back(arg);
        }
    }
    if (options.hasCode && options.hasCookie) {
        return usageError("--code and --cookie exclude each other");
    }
    if (operands.size() < command->fewest || operands.size() > command->most) {
        return usageError(command->operandComplaint);
    }
    return command->run(operands, options);
}
