#include "web/html_parser.h"

#include <algorithm>

namespace rv {

namespace {

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ':';
}

// Elements that never have content or a closing tag.
bool IsVoid(const std::string& Name) {
    static const char* const kVoid[] = {"area", "base", "br", "col", "embed", "hr", "img", "input",
                                        "link", "meta", "param", "source", "track", "wbr"};
    return std::any_of(std::begin(kVoid), std::end(kVoid), [&](const char* v) { return Name == v; });
}

bool IsRawText(const std::string& Name) { return Name == "title" || Name == "script" || Name == "style"; }

} // namespace

void TRV_ParseHtml::ParseStream(TStream& Stream) {
    Begin();
    char buffer[4096];
    while (!FCancelParse) {
        const int64_t n = Stream.Read(buffer, sizeof buffer);
        if (n <= 0) break;
        Feed(buffer, static_cast<size_t>(n));
    }
    End();
}

void TRV_ParseHtml::ParseText(const char* Data, size_t Len) {
    Begin();
    Feed(Data, Len);
    End();
}

void TRV_ParseHtml::Begin() {
    FStack.clear();
    FText.clear();
    FTag.clear();
    FMode = TMode::Text;
    FCancelParse = false;
    UpdateFlags();
}

void TRV_ParseHtml::End() {
    if (!FCancelParse) FlushText();
}

bool TRV_ParseHtml::RawTextOnTop() const { return !FStack.empty() && IsRawText(FStack.back().Name); }

void TRV_ParseHtml::Feed(const char* Data, size_t Len) {
    for (size_t i = 0; i < Len && !FCancelParse; ++i) {
        const char c = Data[i];
        switch (FMode) {
        case TMode::Text:
            if (c == '<') {
                FMode = TMode::Tag;
                FTag.clear();
            } else if (FText.size() < C_HtmlMaxText) {
                FText += c;
            }
            break;
        case TMode::Tag:
            if (c == '>') {
                FMode = TMode::Text;
                TakeTag();
            } else if (FTag.size() < C_HtmlMaxTag) {
                FTag += c;
                if (FTag == "!--" && !RawTextOnTop()) {
                    FMode = TMode::Comment;
                    FCommentDashes = 0;
                }
            }
            break;
        case TMode::Comment:
            if (c == '>' && FCommentDashes >= 2) {
                FMode = TMode::Text;
            } else {
                FCommentDashes = c == '-' ? FCommentDashes + 1 : 0;
            }
            break;
        }
    }
}

void TRV_ParseHtml::FlushText() {
    if (FText.empty()) return;
    std::string text;
    text.swap(FText);
    if (!FStack.empty()) {
        std::string& into = FStack.back().Text;
        into.append(text, 0, std::min(text.size(), C_HtmlMaxText - std::min(into.size(), C_HtmlMaxText)));
    }
    const bool hidden = std::any_of(FStack.begin(), FStack.end(), [](const TElement& e) { return IsRawText(e.Name); });
    if (!hidden && OnBodyText) OnBodyText(this, text);
}

void TRV_ParseHtml::TakeTag() {
    const std::string tag = FTag;
    FTag.clear();
    size_t i = 0;
    const bool closing = !tag.empty() && tag[0] == '/';
    if (closing) ++i;
    std::string name;
    while (i < tag.size() && IsNameChar(tag[i])) name += LowerChar(tag[i++]);
    if (RawTextOnTop() && !(closing && name == FStack.back().Name)) {
        // Inside a title, script or style only its own closing tag counts; anything else is its text.
        if (FText.size() < C_HtmlMaxText) FText += "<" + tag + ">";
        return;
    }
    FlushText();
    if (name.empty()) return; // <!DOCTYPE>, <?xml?>, a stray "<>"
    if (closing) {
        Close(name);
    } else if (!IsVoid(name) && tag.back() != '/') {
        Open(name);
    }
}

void TRV_ParseHtml::Open(const std::string& Name) {
    if (FStack.size() >= C_HtmlMaxDepth) return;
    FStack.push_back({Name, {}});
    UpdateFlags();
}

void TRV_ParseHtml::Close(const std::string& Name) {
    for (size_t i = FStack.size(); i-- > 0;) {
        if (FStack[i].Name != Name) continue;
        TElement element = std::move(FStack[i]);
        FStack.resize(i);
        UpdateFlags();
        if (Name == "title" && OnTitleText) OnTitleText(this, element.Text);
        return;
    }
    // A closing tag without its opening one is ignored.
}

void TRV_ParseHtml::UpdateFlags() {
    FInHtml = FInHead = FInBody = false;
    for (const TElement& e : FStack) {
        if (e.Name == "html") FInHtml = true;
        if (e.Name == "head") FInHead = true;
        if (e.Name == "body") FInBody = true;
    }
}

} // namespace rv
