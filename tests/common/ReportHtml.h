// ReportHtml.h - reads the demo host's report page (host/Report.h) the way the
// tests need it: the start tags with their attributes, the part of the page
// inside an element, the text with the markup taken out. Enough HTML for a
// page we write ourselves (no script, attribute values quoted), not a
// general parser.
#pragma once
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace NTest {

// An element's start tag: where it is in the page and its attributes
// (values with their character references resolved).
struct TTag {
  std::string name;                         // lower case
  std::map<std::string, std::string> attrs; // names lower case
  size_t begin = 0, end = 0;                // the tag's '<' and one past its '>'

  bool Has(const std::string &attr) const { return attrs.count(attr) > 0; }
  // The attribute's value; "" when the tag has none.
  std::string Attr(const std::string &attr) const {
    const auto it = attrs.find(attr);
    return it == attrs.end() ? std::string() : it->second;
  }
  // The class attribute holds the word.
  bool HasClass(const std::string &word) const {
    const std::string list = " " + Attr("class") + " ";
    return list.find(" " + word + " ") != std::string::npos;
  }
};

// Text with &amp; &lt; &gt; &quot; &#39; &#N; &#xN; resolved (numeric ones to
// UTF-8); anything else stays as it is.
inline std::string HtmlUnescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t semi = text[i] == '&' ? text.find(';', i) : std::string::npos;
    if (semi == std::string::npos || semi - i > 10) {
      out += text[i];
      continue;
    }
    const std::string ref = text.substr(i + 1, semi - i - 1);
    unsigned long cp = 0;
    if (ref == "amp") cp = '&';
    else if (ref == "lt") cp = '<';
    else if (ref == "gt") cp = '>';
    else if (ref == "quot") cp = '"';
    else if (ref == "apos") cp = '\'';
    else if (ref.size() > 2 && (ref[1] == 'x' || ref[1] == 'X') && ref[0] == '#') cp = std::strtoul(ref.c_str() + 2, nullptr, 16);
    else if (ref.size() > 1 && ref[0] == '#') cp = std::strtoul(ref.c_str() + 1, nullptr, 10);
    if (cp == 0) {
      out += text[i];
      continue;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    i = semi;
  }
  return out;
}

namespace NReportHtmlDetail {
inline bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == ':';
}
inline std::string Lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}
inline bool Space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
} // namespace NReportHtmlDetail

// Every start tag of html[from, to), in page order. Comments, declarations
// and end tags are skipped; the contents of <style> are not read as markup.
inline std::vector<TTag> Tags(const std::string &html, size_t from = 0, size_t to = std::string::npos) {
  using namespace NReportHtmlDetail;
  std::vector<TTag> tags;
  if (to > html.size()) to = html.size();
  size_t i = from;
  while ((i = html.find('<', i)) != std::string::npos && i < to) {
    if (html.compare(i, 4, "<!--") == 0) {
      const size_t e = html.find("-->", i + 4);
      i = e == std::string::npos ? to : e + 3;
      continue;
    }
    if (i + 1 >= html.size() || !NameChar(html[i + 1]) || html[i + 1] == '-' || html[i + 1] == ':') {
      const size_t e = html.find('>', i + 1); // end tag, declaration, or a stray '<'
      i = e == std::string::npos ? to : e + 1;
      continue;
    }
    TTag tag;
    tag.begin = i;
    size_t p = i + 1;
    while (p < html.size() && NameChar(html[p])) ++p;
    tag.name = Lower(html.substr(i + 1, p - i - 1));
    while (p < html.size() && html[p] != '>') {
      if (Space(html[p]) || html[p] == '/') {
        ++p;
        continue;
      }
      const size_t n0 = p;
      while (p < html.size() && !Space(html[p]) && html[p] != '=' && html[p] != '>' && html[p] != '/') ++p;
      if (p == n0) { // not a name character at all: step over it
        ++p;
        continue;
      }
      const std::string name = Lower(html.substr(n0, p - n0));
      std::string value;
      size_t q = p;
      while (q < html.size() && Space(html[q])) ++q;
      if (q < html.size() && html[q] == '=') {
        ++q;
        while (q < html.size() && Space(html[q])) ++q;
        if (q < html.size() && (html[q] == '"' || html[q] == '\'')) {
          const size_t close = html.find(html[q], q + 1);
          const size_t e = close == std::string::npos ? html.size() : close;
          value = html.substr(q + 1, e - q - 1);
          p = e == html.size() ? e : e + 1;
        } else {
          const size_t v0 = q;
          while (q < html.size() && !Space(html[q]) && html[q] != '>') ++q;
          value = html.substr(v0, q - v0);
          p = q;
        }
      }
      tag.attrs.emplace(name, HtmlUnescape(value));
    }
    tag.end = p < html.size() ? p + 1 : html.size();
    tags.push_back(tag);
    i = tag.end;
    if (tag.name == "style") {
      const size_t e = html.find("</style", i);
      i = e == std::string::npos ? to : e;
    }
  }
  return tags;
}

// The start tags of html[from, to) whose attribute `attr` is `value`
// exactly (for "class", whose class list holds the word `value`).
inline std::vector<TTag> FindTags(const std::string &html, const std::string &attr, const std::string &value,
                                  size_t from = 0, size_t to = std::string::npos) {
  std::vector<TTag> found;
  for (auto &t : Tags(html, from, to))
    if (attr == "class" ? t.HasClass(value) : t.Has(attr) && t.Attr(attr) == value) found.push_back(std::move(t));
  return found;
}

// Where the element that the tag starts ends: the position of its matching
// end tag (elements of the same name nested in it counted), or of the end of
// the page when there is none; the tag's own end for one closed by "/>".
inline size_t ElementEnd(const std::string &html, const TTag &tag) {
  if (tag.end >= 2 && html[tag.end - 2] == '/') return tag.end;
  int depth = 1;
  for (size_t i = tag.end; (i = html.find('<', i)) != std::string::npos; ++i) {
    const bool close = html.compare(i + 1, 1, "/") == 0;
    const size_t n = i + (close ? 2 : 1);
    if (NReportHtmlDetail::Lower(html.substr(n, tag.name.size())) != tag.name) continue;
    const char after = n + tag.name.size() < html.size() ? html[n + tag.name.size()] : '>';
    if (NReportHtmlDetail::NameChar(after)) continue;
    if (close && --depth == 0) return i;
    if (!close) {
      const size_t e = html.find('>', i);
      if (e != std::string::npos && html[e - 1] != '/') ++depth;
    }
  }
  return html.size();
}

// The part of the page inside the element (without its own tags).
inline std::string Inner(const std::string &html, const TTag &tag) {
  return html.substr(tag.end, ElementEnd(html, tag) - tag.end);
}

// The text of the element as a reader sees it: tags taken out, character
// references resolved.
inline std::string Text(const std::string &html, const TTag &tag) {
  const std::string inner = Inner(html, tag);
  std::string text;
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '<') {
      const size_t e = inner.find('>', i);
      if (e == std::string::npos) break;
      i = e;
    } else {
      text += inner[i];
    }
  }
  return HtmlUnescape(text);
}

// The numbers of a data-values or points attribute ("25.0 24.5 ...",
// "10.0,20.5 11.0,20.0").
inline std::vector<double> Numbers(const std::string &list) {
  std::vector<double> out;
  const char *p = list.c_str();
  for (;;) {
    while (*p == ',') ++p;
    char *end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p) break;
    out.push_back(v);
    p = end;
  }
  return out;
}

} // namespace NTest
