// Writes one fuzz seed per message of a JSON-lines corpus: larkpin-fuzz-seeds CORPUS FOLDER.

#include "FuzzInput.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: larkpin-fuzz-seeds CORPUS FOLDER\n";
        return 2;
    }
    std::ifstream corpus(argv[1]);
    if (!corpus) {
        std::cerr << "larkpin-fuzz-seeds: cannot read " << argv[1] << '\n';
        return 1;
    }
    std::filesystem::create_directories(argv[2]);
    std::string line;
    for (int number = 1; std::getline(corpus, line); ++number) {
        const auto document = nlohmann::json::parse(line, nullptr, false);
        if (!document.is_object())
            continue;
        larkpin::EmailContent content;
        content.subject = document.value("subject", "");
        content.sender = document.value("sender", "");
        content.plainText = document.value("plainText", "");
        content.htmlText = document.value("htmlText", "");
        std::ofstream(std::filesystem::path(argv[2]) / ("seed-" + std::to_string(number)), std::ios::binary)
            << larkpin::fuzz::FuzzInput::encode(content);
    }
    return 0;
}
