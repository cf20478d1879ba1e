#include "command_line.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "quoting.h"

namespace korvic::program {

namespace {

using korvic::detail::quote;

bool looks_like_option(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-';
}

// The apps whose options may be meant, the subcommand that was parsed first.
std::vector<const CLI::App *> scopes(const CLI::App &app) {
    const std::vector<CLI::App *> parsed = app.get_subcommands();
    std::vector<const CLI::App *> s(parsed.begin(), parsed.end());
    s.push_back(&app);
    return s;
}

// The first option of the scopes that `matches`, and its scope.
template <class Matches>
std::pair<const CLI::App *, const CLI::Option *> find_option(const CLI::App &app,
                                                             const Matches &matches) {
    for (const CLI::App *scope : scopes(app)) {
        const std::vector<const CLI::Option *> options = scope->get_options();
        const auto at = std::find_if(options.begin(), options.end(), matches);
        if (at != options.end())
            return {scope, *at};
    }
    return {nullptr, nullptr};
}

// The option that the parser's message names: "--config: ...", "json was given ...",
// "Could not convert: --json = x".
const CLI::Option *named_option(const CLI::App &app, const std::string &what) {
    const std::string first = what.substr(0, what.find_first_of(": "));
    return find_option(app,
                       [&](const CLI::Option *opt) {
                           return opt->check_name(first) || opt->check_name("--" + first) ||
                                  what.find(" " + opt->get_name() + " ") != std::string::npos;
                       })
        .second;
}

// "a, b or c".
std::string listed(const std::vector<std::string> &words) {
    std::string list;
    for (std::size_t i = 0; i < words.size(); ++i)
        list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return list;
}

std::string extras(const CLI::App &app, const std::vector<std::string> &args) {
    // In the order typed: the parser keeps them in an order of its own.
    std::vector<std::string> left = app.remaining(true);
    std::vector<std::string> typed;
    for (const std::string &arg : args)
        if (const auto at = std::find(left.begin(), left.end(), arg); at != left.end()) {
            typed.push_back(arg);
            left.erase(at);
        }
    typed.insert(typed.end(), left.begin(), left.end());
    if (typed.empty())
        return "unexpected arguments";
    const std::vector<CLI::App *> parsed = app.get_subcommands();
    const auto option = std::find_if(typed.begin(), typed.end(), looks_like_option);
    if (option != typed.end()) {
        const std::string name = option->substr(0, option->find('='));
        // An option of another subcommand, given to this one.
        const auto others = app.get_subcommands([](const CLI::App *) { return true; });
        const bool elsewhere = std::any_of(others.begin(), others.end(), [&name](const auto *s) {
            return s->get_option_no_throw(name) != nullptr;
        });
        if (!parsed.empty() && parsed.front()->get_option_no_throw(name) != nullptr)
            return name + " is an option of " + parsed.front()->get_name() + ": give it after " +
                   parsed.front()->get_name();
        if (elsewhere && !parsed.empty())
            return parsed.front()->get_name() + " has no option " + quote(name);
        return "unknown option " + quote(name);
    }
    if (parsed.empty() && !app.get_subcommands([](const CLI::App *) { return true; }).empty())
        return "unknown subcommand " + quote(typed.front());
    std::string text = typed.size() == 1 ? "unexpected argument" : "unexpected arguments";
    for (const std::string &arg : typed)
        text += " " + quote(arg);
    return text;
}

std::string missing(const CLI::App &app) {
    const auto subs = app.get_subcommands([](const CLI::App *) { return true; });
    std::vector<std::string> names(subs.size());
    std::transform(subs.begin(), subs.end(), names.begin(),
                   [](const CLI::App *sub) { return sub->get_name(); });
    if (app.get_subcommands().empty() && !names.empty())
        return "a subcommand is needed: " + listed(names);
    const auto [scope, opt] =
        find_option(app, [](const CLI::Option *o) { return o->get_required() && o->count() == 0; });
    if (opt == nullptr)
        return "an argument is missing";
    return opt->get_positional() ? scope->get_name() + " needs " + opt->get_name(true)
                                 : opt->get_name() + " is required";
}

}  // namespace

std::string command_line_problem(const CLI::App &app, const CLI::ParseError &e,
                                 const std::vector<std::string> &args) {
    if (dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr)
        return extras(app, args);
    if (dynamic_cast<const CLI::RequiredError *>(&e) != nullptr)
        return missing(app);
    // A check of our own refused the value: "NAME: " and its text.
    if (dynamic_cast<const CLI::ValidationError *>(&e) != nullptr)
        return e.what();
    const CLI::Option *opt = named_option(app, e.what());
    if (opt == nullptr)
        return "the command line cannot be read";
    const std::string name = opt->get_name();
    const std::vector<std::string> &given = opt->results();
    if (opt->get_expected_max() == 0)  // a flag
        return name + " takes no value" + (given.empty() ? "" : " (given " + quote(given[0]) + ")");
    if (opt->count() > 1)
        return name + " is given " + std::to_string(opt->count()) + " times: give it once";
    if (dynamic_cast<const CLI::ConversionError *>(&e) != nullptr && !given.empty())
        return name + " " + quote(given[0]) + ": not a value it takes";
    return name + " needs a value (" + opt->get_type_name() + ")";
}

}  // namespace korvic::program
