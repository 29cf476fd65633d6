// tarnwick: compiles a JSON program description for the V600 into per-tile code and exchange
// rows, and inspects what the library makes of it (phase schedules, program listings, routes).

#include "commands.hpp"

#include "tarnwick/version.hpp"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

namespace {

using namespace tarnwick::cli;

int run(int argc, char** argv) {
    CLI::App app{"tarnwick: code generation for the V600 tile processor, from a JSON program "
                 "description to per-tile code and exchange rows",
                 "tarnwick"};
    app.set_version_flag("--version", std::string("tarnwick ") + tarnwick::version_string);
    app.require_subcommand(1);

    CompileCommand compile;
    bool no_verify = false;
    auto* compile_app = app.add_subcommand(
        "compile", "Compile a description: every phase scheduled and checked, every tile emitted, "
                   "the artefacts written to --out");
    compile_app->add_option("DESCRIPTION", compile.description, "The program description (JSON)")
        ->required();
    compile_app->add_option("--out", compile.out, "The output directory")->required();
    compile_app->add_flag("--no-verify", no_verify,
                          "Skip the independent physical check of every finished phase");

    ScheduleCommand schedule;
    auto* schedule_app = app.add_subcommand(
        "schedule", "Show where the transfers of one phase land, with listings and timelines");
    schedule_app->add_option("DESCRIPTION", schedule.description, "The program description (JSON)")
        ->required();
    schedule_app->add_option("--phase", schedule.phase, "The phase to show")->required();
    schedule_app->add_flag("--listing", schedule.listing, "Print the decoded programs");
    schedule_app->add_option("--tiles", schedule.tiles,
                             "Tiles to list, such as 0,5,10-20 (default: every active tile)");
    schedule_app->add_option("--trace", schedule.trace,
                             "Write the phase as a Trace Event Format file (Perfetto UI)");
    schedule_app->add_option("--svg", schedule.svg, "Write the phase as an SVG timeline");

    DisasmCommand disasm;
    auto* disasm_app =
        app.add_subcommand("disasm", "Decode exchange instruction words into a listing");
    disasm_app->add_option("WORDS", disasm.words, "Hexadecimal words (0x41800003 or 41800003)");
    disasm_app->add_option("--file", disasm.file,
                           "Read the words from a file (white space or commas between words, "
                           "# starts a comment)");
    disasm_app->add_option("--base", disasm.base, "Byte address of the first word");

    RouteCommand route;
    auto* route_app = app.add_subcommand(
        "route", "The physical numbers, displacement, direction and multiplexer time of a route");
    route_app->add_option("SRC", route.source, "Logical source tile")->required();
    route_app->add_option("DST", route.destination, "Logical destination tile")->required();

    VerifyCommand verify;
    auto* verify_app = app.add_subcommand(
        "verify", "Check finished phases against the machine model and print the report");
    verify_app->add_option("DESCRIPTION", verify.description, "The program description (JSON)")
        ->required();
    verify_app->add_option("--phase", verify.phase, "Only this phase (default: every phase)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? EXIT_OK : EXIT_BAD_INPUT;
    }

    if (compile_app->parsed()) {
        compile.verify = !no_verify;
        return run_compile(compile, std::cout, std::cerr);
    }
    if (schedule_app->parsed()) {
        return run_schedule(schedule, std::cout, std::cerr);
    }
    if (disasm_app->parsed()) {
        return run_disasm(disasm, std::cout, std::cerr);
    }
    if (route_app->parsed()) {
        return run_route(route, std::cout, std::cerr);
    }
    return run_verify(verify, std::cout, std::cerr);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "internal error: " << error.what() << '\n';
    } catch (...) {
        std::cerr << "internal error: unknown failure\n";
    }
    return EXIT_INTERNAL;
}
