#include "Model.hpp"

#include <cstdio>
#include <random>
#include <sstream>

const std::string kBannerLine = "\n\n\t********** Printing data from file.*********\t\n\n";
const std::string kFileErrorLine = "\nfile error\n";

std::string model_summary(const std::string& counted) {
  long long newlines = 0;
  long long tabs = 0;
  long long spaces = 0;
  for (const char c : counted) {
    newlines += c == '\n';
    tabs += c == '\t';
    spaces += c == ' ';
  }
  const long long characters = static_cast<long long>(counted.size()) - newlines - tabs - spaces;
  return "\n\t....********quntity displaying*********.....\n No. of characters in file.. " +
         std::to_string(characters) + " ...\n No. of newlines in file.." +
         std::to_string(newlines) + " ...\n No. of tab's " + std::to_string(tabs) +
         "...\n No. of spaces " + std::to_string(spaces) + "...\n";
}

std::string model_kept(const std::string& input) {
  static const std::string kAlnum =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string kept;
  for (const char c : input) {
    if (c != '\0' && kAlnum.find(c) != std::string::npos) {
      kept += c;
    }
  }
  return kept;
}

Expected model_run(const std::optional<std::string>& input, ReadBack read_back) {
  const std::string counted = input.value_or("");
  const std::string kept = model_kept(counted);
  Expected expected;
  expected.transcript = kBannerLine + (input ? *input : kFileErrorLine) + model_summary(counted) +
                        kBannerLine + (read_back == ReadBack::kShown ? kept : kFileErrorLine);
  expected.file_txt = read_back == ReadBack::kShown ? kept : "";
  return expected;
}

std::string model_cut_short(const std::string& echoed, ReadBack read_back) {
  return kBannerLine + echoed + kFileErrorLine + model_summary(echoed) + kBannerLine +
         (read_back == ReadBack::kShown ? model_kept(echoed) : kFileErrorLine);
}

std::string first_difference(const std::string& actual, const std::string& expected) {
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
    ++at;
  }
  if (at == actual.size() && at == expected.size()) {
    return "identical";
  }
  const auto hex = [at](const std::string& bytes) {
    std::ostringstream text;
    const std::size_t from = at < 8 ? 0 : at - 8;
    for (std::size_t i = from; i < bytes.size() && i < at + 8; ++i) {
      char digits[4];
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
      text << (i == at ? "[" : " ") << digits << (i == at ? "]" : "");
    }
    return text.str();
  };
  std::ostringstream text;
  text << "sizes " << actual.size() << " (actual) and " << expected.size()
       << " (expected); first difference at byte " << at << "\n  actual:  " << hex(actual)
       << "\n  expected:" << hex(expected);
  return text.str();
}

std::string random_bytes(std::size_t size, unsigned seed, const std::string& alphabet) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  if (alphabet.empty()) {
    std::uniform_int_distribution<int> pick(0, 255);
    for (char& c : bytes) {
      c = static_cast<char>(pick(generator));
    }
  } else {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (char& c : bytes) {
      c = alphabet[pick(generator)];
    }
  }
  return bytes;
}
