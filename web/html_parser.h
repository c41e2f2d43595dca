#pragma once
// TRV_ParseHtml: a small streaming HTML reader. It keeps a stack of open elements with the text inside each and
// reports the title when its closing tag comes, and the document's text outside the title, scripts and styles
// (which for a plain-text page is the whole page). Character references are left as they are.
//
// Bounded: at most C_HtmlMaxDepth open elements, C_HtmlMaxText bytes of text kept per element and C_HtmlMaxTag
// bytes per tag; what passes a limit is dropped, never grown.
//
// Threads: any one thread at a time; events run on the calling thread, inside ParseStream.

#include "foundation/streams.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace rv {

class TRV_ParseHtml;

using T_OnText = std::function<void(TRV_ParseHtml* Sender, const std::string& Text)>;

constexpr size_t C_HtmlMaxDepth = 256;
constexpr size_t C_HtmlMaxText = 64 * 1024;
constexpr size_t C_HtmlMaxTag = 4 * 1024;

class TRV_ParseHtml {
public:
    // Reads HTML from the stream's position to its end, or until CancelParse.
    void ParseStream(TStream& Stream);
    // The same over bytes in memory.
    void ParseText(const char* Data, size_t Len);
    // Reading stops after the present event.
    void CancelParse() { FCancelParse = true; }

    bool InHtml() const { return FInHtml; }
    bool InHead() const { return FInHead; }
    bool InBody() const { return FInBody; }

    // The text of a TITLE element, when its closing tag is read.
    T_OnText OnTitleText;
    // A run of the document's text outside TITLE, SCRIPT and STYLE elements, between two tags.
    T_OnText OnBodyText;

private:
    struct TElement {
        std::string Name; // lower case
        std::string Text;
    };
    enum class TMode : uint8_t { Text, Tag, Comment };

    void Begin();
    void Feed(const char* Data, size_t Len);
    void End();
    void FlushText();
    void TakeTag();
    void Open(const std::string& Name);
    void Close(const std::string& Name);
    // Title, script or style on top: their content is text up to their own closing tag.
    bool RawTextOnTop() const;
    void UpdateFlags();

    std::vector<TElement> FStack;
    std::string FText;
    std::string FTag;
    TMode FMode = TMode::Text;
    size_t FCommentDashes = 0;
    bool FCancelParse = false;
    bool FInHtml = false;
    bool FInHead = false;
    bool FInBody = false;
};

} // namespace rv
