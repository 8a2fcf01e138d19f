/*
 * vantorell-check: lint a data file, explain a visitor's assignment, show an
 * experiment's split.
 *
 * Built from the module's own core (the reader, targeting, the visitor's
 * number and the choice of variations, the texts of the outcome and of the
 * failures), with nginx's own parsers of a request line and of a Cookie
 * header.  Nothing here decides what
 * the module would do by other means: where the core has no answer for a
 * question, the question is put to the core in a smaller form (one
 * experiment, one condition) rather than answered again here.
 */
#include "check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: vantorell-check lint FILE... [--format text|json]\n"
    "       vantorell-check explain FILE URL [--code CODE | --cookie 'HEADER']\n"
    "                                        [--visitor-id ID] [--force LIST]\n"
    "                                        [--host HOST] [--format text|json]\n"
    "       vantorell-check split FILE [--visitors N] [--format text|json]\n"
    "       vantorell-check --help\n"
    "\n"
    "lint     every problem the module would meet in the data files, in the\n"
    "         module's own texts, and warnings for what it accepts but is\n"
    "         almost always a mistake\n"
    "explain  the URL text the module builds, which experiments target it and\n"
    "         which group and condition decided, the visitor's code, digest and\n"
    "         number, each targeted experiment's variation, the experiments\n"
    "         header and the location of the redirect\n"
    "split    each variation's share by the module's choice rule, and the\n"
    "         shares observed over N random visitor codes (default 100000)\n"
    "\n"
    "URL is http://HOST/PATH?QUERY or /PATH?QUERY (the host then comes from\n"
    "--host, or is empty as for an HTTP/1.0 request without Host).\n"
    "--visitor-id and --force take what vantorell_visitor_id and vantorell_force\n"
    "would give for the request: a non-empty id gives the code, an empty one\n"
    "leaves it to --code or --cookie; LIST is \"101=2, 202=0\".\n"
    "\n"
    "exit status: 0 clean, 1 warnings only (lint), 2 errors (lint: a problem\n"
    "the module meets; explain, split: a data file the module cannot use, or\n"
    "bad arguments)\n";

int usageError(const char *fmt, const char *arg)
{
    fprintf(stderr, "vantorell-check: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n\n%s", kUsage);
    return vcheck::kExitErrors;
}

bool takeFormat(const char *value, vcheck::Format *format)
{
    if (strcmp(value, "text") == 0) {
        *format = vcheck::Format::Text;
        return true;
    }
    if (strcmp(value, "json") == 0) {
        *format = vcheck::Format::Json;
        return true;
    }
    return false;
}

/* The options of explain that take any text. */
struct ExplainText {
    const char *name;
    std::string vcheck::Options::*value;
    bool vcheck::Options::*given;
};

const ExplainText kExplainTexts[] = {
    {"--code", &vcheck::Options::code, &vcheck::Options::hasCode},
    {"--cookie", &vcheck::Options::cookie, &vcheck::Options::hasCookie},
    {"--visitor-id", &vcheck::Options::visitorId, &vcheck::Options::hasVisitorId},
    {"--force", &vcheck::Options::force, &vcheck::Options::hasForce},
    {"--host", &vcheck::Options::host, &vcheck::Options::hasHost},
};

const ExplainText *explainText(const std::string &arg)
{
    for (const ExplainText &text : kExplainTexts) {
        if (arg == text.name) {
            return &text;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "%s", kUsage);
        return vcheck::kExitErrors;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printf("%s", kUsage);
        return 0;
    }
    if (command != "lint" && command != "explain" && command != "split") {
        return usageError("unknown command \"%s\"", argv[1]);
    }

    vcheck::Options options;
    std::vector<std::string> operands;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const ExplainText *text = command == "explain" ? explainText(arg) : nullptr;
        if (arg == "--help" || arg == "-h") {
            printf("%s", kUsage);
            return 0;
        }
        if (arg == "--format") {
            const char *v = value();
            if (v == nullptr || !takeFormat(v, &options.format)) {
                return usageError("--format takes text or json%s", "");
            }
        } else if (text != nullptr) {
            const char *v = value();
            if (v == nullptr) {
                return usageError("%s takes a value", text->name);
            }
            options.*(text->value) = v;
            options.*(text->given) = true;
        } else if (arg == "--visitors" && command == "split") {
            const char *v = value();
            char *end = nullptr;
            errno = 0;
            unsigned long long n = v != nullptr ? strtoull(v, &end, 10) : 0;
            if (v == nullptr || *v == '\0' || *end != '\0' || errno != 0 || v[0] == '-'
                || n > vcheck::kMaxVisitors) {
                return usageError("--visitors takes a number from 0 to 100000000%s", "");
            }
            options.visitors = n;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return usageError("unknown option \"%s\"", arg.c_str());
        } else {
            operands.push_back(arg);
        }
    }
    if (options.hasCode && options.hasCookie) {
        return usageError("--code and --cookie exclude each other%s", "");
    }

    if (command == "lint") {
        if (operands.empty()) {
            return usageError("lint takes at least one FILE%s", "");
        }
        return vcheck::lint(operands, options);
    }
    if (command == "explain") {
        if (operands.size() != 2) {
            return usageError("explain takes FILE and URL%s", "");
        }
        return vcheck::explain(operands[0], operands[1], options);
    }
    if (operands.size() != 1) {
        return usageError("split takes one FILE%s", "");
    }
    return vcheck::split(operands[0], options);
}
