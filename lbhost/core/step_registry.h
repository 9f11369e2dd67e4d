// lbhost's steps as CLI11 subcommands, one registration per step, for the command line and
// for serve's page alike, and the checks of values they share with the run's options.
// Portable; for lbhost/core/ only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "lbhost/core/command_line.h"

namespace step_registry {

// A usage error raised from a step's own checks, with the word probably meant.
struct UsageProblem {
  std::string message;
  std::string suggestion;
};

// A whole number in decimal from `least` to `most`, given with ->transform().
CLI::Validator WholeNumber(long long least, long long most);
// A count of shots, frames or steps.
CLI::Validator AtLeastOne();
// Seconds above 0, up to a month.
CLI::Validator PositiveSeconds();

// What a step's options are read into while CLI11 parses it. CLI11 clears a repeated step's
// results but not the variables they were written to, so each step starts from fresh ones.
struct StepWords {
  Step step;
  std::string word1, word2;
  std::string stepSize = "fine";
  std::string way;
  std::string listen = "127.0.0.1:5513";
};

// A step's own check, run once its words are read: fills in the Step, or says what is wrong.
using StepCheck = std::optional<UsageProblem> (*)(StepWords& w, const CLI::App& sub);

// Where a step may be asked for: on lbhost's command line, on serve's page, or both.
enum class Asked { CommandLine, Page, Both };

// The steps of one parse, for the command line or for the page, as CLI11 subcommands. Each
// step parsed is checked and appended to *steps; the first problem is kept. Its subcommands
// call back into it: it stays where it was made until the parse is over.
struct StepRegistry {
  StepRegistry(CLI::App& app, bool page, std::vector<Step>* steps)
      : app(app), page(page), steps(steps) {}

  CLI::App& app;
  bool page;
  std::vector<Step>* steps;  // not owned
  StepWords w;
  std::optional<UsageProblem> problem;
  std::vector<std::string> names;  // the steps registered, in order

  // The step's subcommand, or null when it is not asked for in this parse.
  CLI::App* add(const char* name, StepKind kind, Asked where, const char* help,
                StepCheck check = nullptr);
};

// Registers every step.
void AddSteps(StepRegistry& r);

}  // namespace step_registry
