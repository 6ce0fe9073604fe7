#include "Platform/CommandLine.h"

#include "Text/WideText.h"

#include <QByteArray>

namespace Tellan {
namespace Platform {

std::vector<std::string> commandLineWords(const std::wstring& commandLine)
{
    const QByteArray text = Text::fromWide(commandLine).toUtf8();
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '\\') {
            int backslashes = 0;
            while (i < text.size() && text.at(i) == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < text.size() && text.at(i) == '"') {
                word.append(std::size_t(backslashes / 2), '\\');
                if (backslashes % 2)
                    word.push_back('"');
                else
                    quoted = !quoted;
            } else {
                word.append(std::size_t(backslashes), '\\');
                --i;
            }
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

} // namespace Platform
} // namespace Tellan
