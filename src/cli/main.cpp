#include <iostream>

#include "cli/cli_common.h"

int main(int argc, char** argv) { return qz::cli::Run(argc, argv, std::cout, std::cerr); }
