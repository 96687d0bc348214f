#include "parser.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>  // std::make_unique
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format.hpp"   // format_parse, format_name_list
#include "unicode.hpp"  // decode_utf8, is_white_space, is_alphabetic, is_numeric

namespace vorn {

std::string ParseError::text() const {
  std::string out = std::to_string(line);
  out.push_back(':');
  out += std::to_string(column);
  out += ": ";
  out += message;
  return out;
}

// The schema language's lexer and parser, apart from the JSON parser of the same role.
namespace schema_text {

namespace {

// Names met so far in one declaration, so a repeated one is found without a scan: a schema
// of 40,000 fields took 3.3 s to parse while each new field was compared with every earlier
// one. Owned copies: views into the growing vectors would move with their short strings.
using NameSet = std::unordered_set<std::string>;

// Array and map types nest no deeper than this: each level costs one frame of Parser::ty
// and, later, of every walk over the type (destruction included), so a hostile text of a
// million `[` must fail here rather than exhaust the stack.
constexpr int max_array_depth = 256;

// The name of the free-form JSON type. Unlike the built-in names it is resolved only when
// the text ends, and only where nothing is declared under it: `schema Json {}` parsed before
// the type existed, and a field typed `Json` there must keep naming that declaration.
constexpr std::string_view json_type_name = "Json";

// ---------------------------------------------------------------------------------------
// Tokens

enum class TokenKind : std::uint8_t {
  Ident,
  Str,
  Number,
  LBrace,
  RBrace,
  LBracket,
  RBracket,
  LParen,
  RParen,
  Colon,
  Question,
  At,
  Comma,
  DotDotEq,
  Eof,
};

std::string_view punctuation(TokenKind kind) {
  switch (kind) {
    case TokenKind::LBrace:
      return "{";
    case TokenKind::RBrace:
      return "}";
    case TokenKind::LBracket:
      return "[";
    case TokenKind::RBracket:
      return "]";
    case TokenKind::LParen:
      return "(";
    case TokenKind::RParen:
      return ")";
    case TokenKind::Colon:
      return ":";
    case TokenKind::Question:
      return "?";
    case TokenKind::At:
      return "@";
    case TokenKind::Comma:
      return ",";
    case TokenKind::DotDotEq:
      return "..=";
    case TokenKind::Ident:
    case TokenKind::Str:
    case TokenKind::Number:
    case TokenKind::Eof:
      break;
  }
  return {};
}

struct Tok {
  TokenKind kind = TokenKind::Eof;
  std::string text;   // Ident, Str
  Int128 number = 0;  // Number

  /// The wording that messages use for the token found.
  std::string describe() const {
    std::string out;
    switch (kind) {
      case TokenKind::Ident:
        out = "`" + text + "`";
        break;
      case TokenKind::Str:
        out = "string \"" + text + "\"";
        break;
      case TokenKind::Number:
        out = "`";
        append_decimal(out, number);
        out += "`";
        break;
      case TokenKind::Eof:
        out = "end of input";
        break;
      default:
        out = "`";
        out += punctuation(kind);
        out += "`";
    }
    return out;
  }

  bool is_ident(std::string_view word) const { return kind == TokenKind::Ident && text == word; }
  bool is_name() const { return kind == TokenKind::Ident || kind == TokenKind::Str; }
};

struct Token {
  Tok tok;
  std::uint64_t line = 1;
  std::uint64_t column = 1;
};

ParseError error_at(std::string message, std::uint64_t line, std::uint64_t column) {
  return ParseError{std::move(message), line, column};
}

// ---------------------------------------------------------------------------------------
// Lexer

bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The one-character token that `ch` begins, or Eof when it begins none.
TokenKind single_char(char ch) {
  switch (ch) {
    case '{':
      return TokenKind::LBrace;
    case '}':
      return TokenKind::RBrace;
    case '[':
      return TokenKind::LBracket;
    case ']':
      return TokenKind::RBracket;
    case '(':
      return TokenKind::LParen;
    case ')':
      return TokenKind::RParen;
    case ':':
      return TokenKind::Colon;
    case '?':
      return TokenKind::Question;
    case '@':
      return TokenKind::At;
    case ',':
      return TokenKind::Comma;
    default:
      return TokenKind::Eof;
  }
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  /// Fills `tokens` with the whole text, ending with Eof; false on the first lexical error,
  /// which is then in `error`.
  [[nodiscard]] bool run(std::vector<Token>& tokens) {
    while (i_ < text_.size()) {
      if (!next(tokens)) {
        return false;
      }
    }
    tokens.push_back(Token{Tok{}, line_, column_});
    return true;
  }

  ParseError error;

 private:
  // Consumes the blank, comment or token at the cursor; every case is told apart by its
  // first character.
  [[nodiscard]] bool next(std::vector<Token>& tokens) {
    const char ch = text_[i_];
    if (ch == '\n') {
      ++i_;
      ++line_;
      column_ = 1;
      return true;
    }
    if (ch == ' ' || (ch >= '\t' && ch <= '\r')) {
      step(1);
      return true;
    }
    if (static_cast<unsigned char>(ch) >= 0x80) {
      return non_ascii(tokens);
    }
    if (const TokenKind single = single_char(ch); single != TokenKind::Eof) {
      tokens.push_back(Token{Tok{single, {}, 0}, line_, column_});
      step(1);
      return true;
    }
    if (ch == '"') {
      return string_literal(tokens);
    }
    if (is_ascii_digit(ch) || (ch == '-' && next_is_digit(1))) {
      return number_literal(tokens);
    }
    if (ch == '.' && byte_at(1) == '.' && byte_at(2) == '=') {
      tokens.push_back(Token{Tok{TokenKind::DotDotEq, {}, 0}, line_, column_});
      advance_ascii(3);
      return true;
    }
    if (ch == '/' && byte_at(1) == '/') {
      return comment();
    }
    if (is_ascii_letter(ch) || ch == '_') {
      tokens.push_back(identifier());
      return true;
    }
    return fail(unexpected_here(Utf8Char{static_cast<char32_t>(ch), 1, true}));
  }

  // Outside ASCII only white space and the start of an identifier may stand between tokens.
  [[nodiscard]] bool non_ascii(std::vector<Token>& tokens) {
    const Utf8Char d = decode_utf8(text_, i_);
    if (d.valid && is_white_space(d.c)) {
      step(d.len);
      return true;
    }
    if (!d.valid || !is_alphabetic(d.c)) {
      return fail(unexpected_here(d));
    }
    tokens.push_back(identifier());
    return true;
  }

  bool fail(ParseError e) {
    error = std::move(e);
    return false;
  }

  // One character of `len` bytes that is not a line feed.
  void step(std::size_t len) {
    i_ += len;
    ++column_;
  }

  // `count` ASCII characters, none of them a line feed.
  void advance_ascii(std::size_t count) {
    i_ += count;
    column_ += count;
  }

  char byte_at(std::size_t ahead) const {
    return i_ + ahead < text_.size() ? text_[i_ + ahead] : '\0';
  }

  bool next_is_digit(std::size_t ahead) const {
    return i_ + ahead < text_.size() && is_ascii_digit(text_[i_ + ahead]);
  }

  // Quotes the character at the cursor; an invalid byte cannot be copied into a UTF-8
  // message, so it shows as U+FFFD.
  ParseError unexpected_here(const Utf8Char& d) const {
    std::string message = "unexpected character `";
    if (d.valid) {
      message.append(text_.substr(i_, d.len));
    } else {
      message += "\xEF\xBF\xBD";
    }
    message += "`";
    return error_at(std::move(message), line_, column_);
  }

  Token identifier() {
    const std::uint64_t line = line_;
    const std::uint64_t column = column_;
    const std::size_t start = i_;
    while (i_ < text_.size()) {
      const char ch = text_[i_];
      if (is_ascii_letter(ch) || is_ascii_digit(ch) || ch == '_') {
        step(1);
        continue;
      }
      if (static_cast<unsigned char>(ch) < 0x80) {
        break;
      }
      const Utf8Char d = decode_utf8(text_, i_);
      if (!d.valid || !(is_alphabetic(d.c) || is_numeric(d.c))) {
        break;
      }
      step(d.len);
    }
    return Token{Tok{TokenKind::Ident, std::string(text_.substr(start, i_ - start)), 0}, line,
                 column};
  }

  [[nodiscard]] bool string_literal(std::vector<Token>& tokens) {
    const std::uint64_t line = line_;
    const std::uint64_t column = column_;
    step(1);
    const std::size_t start = i_;
    while (true) {
      if (i_ >= text_.size() || text_[i_] == '\n') {
        return fail(error_at("unterminated string", line, column));
      }
      if (text_[i_] == '"') {
        break;
      }
      const Utf8Char d = decode_utf8(text_, i_);
      if (!d.valid) {
        return fail(unexpected_here(d));
      }
      step(d.len);
    }
    std::string body(text_.substr(start, i_ - start));
    step(1);
    tokens.push_back(Token{Tok{TokenKind::Str, std::move(body), 0}, line, column});
    return true;
  }

  [[nodiscard]] bool number_literal(std::vector<Token>& tokens) {
    const std::uint64_t line = line_;
    const std::uint64_t column = column_;
    std::string digits;
    const bool negative = text_[i_] == '-';
    if (negative) {
      digits.push_back('-');
      step(1);
    }
    // The magnitude may reach 2^127 only for a negative literal; past the limit the digits
    // are still consumed so that the message can quote all of them.
    const UInt128 limit = (UInt128{1} << 127) - (negative ? 0 : 1);
    UInt128 magnitude = 0;
    bool fits = true;
    while (i_ < text_.size() && (is_ascii_digit(text_[i_]) || text_[i_] == '_')) {
      const char ch = text_[i_];
      step(1);
      if (ch == '_') {
        continue;
      }
      digits.push_back(ch);
      const auto d = static_cast<unsigned>(ch - '0');
      if (fits && magnitude > (limit - d) / 10) {
        fits = false;
      }
      if (fits) {
        magnitude = magnitude * 10 + d;
      }
    }
    if (!fits) {
      return fail(error_at("`" + digits + "` does not fit a 128-bit integer", line, column));
    }
    // Negating in unsigned arithmetic keeps -2^127 free of signed overflow.
    const Int128 value =
        negative ? static_cast<Int128>(UInt128{0} - magnitude) : static_cast<Int128>(magnitude);
    tokens.push_back(Token{Tok{TokenKind::Number, {}, value}, line, column});
    return true;
  }

  [[nodiscard]] bool comment() {
    advance_ascii(2);
    while (i_ < text_.size() && text_[i_] != '\n') {
      const Utf8Char d = decode_utf8(text_, i_);
      if (!d.valid) {
        return fail(unexpected_here(d));
      }
      step(d.len);
    }
    return true;
  }

  std::string_view text_;
  std::size_t i_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t column_ = 1;
};

// ---------------------------------------------------------------------------------------
// Parser

struct PendingRef {
  std::string name;
  std::uint64_t line;
  std::uint64_t column;
};

struct PendingVariant {
  std::string union_name;
  std::string tag;
  std::string type_name;
  std::uint64_t line;
  std::uint64_t column;
};

std::optional<Type> builtin(std::string_view name) {
  struct Builtin {
    std::string_view name;
    Type::Tag tag;
    bool is_signed;
    IntWidth width;
  };
  static constexpr Builtin builtins[] = {
      {"bool", Type::Tag::Bool, false, IntWidth::W8},
      {"u8", Type::Tag::Int, false, IntWidth::W8},
      {"u16", Type::Tag::Int, false, IntWidth::W16},
      {"u32", Type::Tag::Int, false, IntWidth::W32},
      {"u64", Type::Tag::Int, false, IntWidth::W64},
      {"i8", Type::Tag::Int, true, IntWidth::W8},
      {"i16", Type::Tag::Int, true, IntWidth::W16},
      {"i32", Type::Tag::Int, true, IntWidth::W32},
      {"i64", Type::Tag::Int, true, IntWidth::W64},
      {"f64", Type::Tag::Float, false, IntWidth::W8},
      {"String", Type::Tag::String, false, IntWidth::W8},
      {"Date", Type::Tag::Date, false, IntWidth::W8},
      {"DateTime", Type::Tag::DateTime, false, IntWidth::W8},
  };
  for (const Builtin& e : builtins) {
    if (e.name == name) {
      Type t;
      t.tag = e.tag;
      t.is_signed = e.is_signed;
      t.width = e.width;
      return t;
    }
  }
  return std::nullopt;
}

// The token cursor and the one recorded error. The readers built on it return false after
// recording the error in `error_`: every one of them has many early exits, and a single
// bool keeps each propagation one line. `Parser::run` turns the recorded error into the
// Result that callers see.
class Cursor {
 public:
  explicit Cursor(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

 protected:
  const Token& current() const {
    if (tokens_.empty()) {
      return eof_;
    }
    return pos_ < tokens_.size() ? tokens_[pos_] : tokens_.back();
  }

  const Tok& tok() const { return current().tok; }

  /// The token just consumed; only asked after an advance.
  const Token& previous() const { return pos_ > 0 ? tokens_[pos_ - 1] : current(); }

  void advance() {
    if (tok().kind != TokenKind::Eof) {
      ++pos_;
    }
  }

  bool fail(std::string message, std::uint64_t line, std::uint64_t column) {
    error_ = error_at(std::move(message), line, column);
    return false;
  }

  bool fail_here(std::string message) {
    return fail(std::move(message), current().line, current().column);
  }

  bool eat(TokenKind kind) {
    if (tok().kind != kind) {
      return false;
    }
    advance();
    return true;
  }

  // Only punctuation is ever expected by kind alone.
  [[nodiscard]] bool expect(TokenKind kind) {
    if (eat(kind)) {
      return true;
    }
    std::string message = "expected `";
    message += punctuation(kind);
    message += "`, found ";
    message += tok().describe();
    return fail_here(std::move(message));
  }

  [[nodiscard]] bool expect_ident(std::string_view what, std::string& out) {
    if (tok().kind != TokenKind::Ident) {
      return fail_here("expected " + std::string(what) + ", found " + tok().describe());
    }
    out = tok().text;
    advance();
    return true;
  }

  // A name that JSON may hold but an identifier cannot (`first-name`, `$id`) is written as a
  // string literal; either way only the text counts.
  [[nodiscard]] bool expect_name(std::string_view what, std::string& out) {
    if (!tok().is_name()) {
      return fail_here("expected " + std::string(what) + ", found " + tok().describe());
    }
    out = tok().text;
    advance();
    return true;
  }

  [[nodiscard]] bool expect_int(Int128& out) {
    if (tok().kind != TokenKind::Number) {
      return fail_here("expected a number, found " + tok().describe());
    }
    out = tok().number;
    advance();
    return true;
  }

  ParseError error_;

 private:
  std::vector<Token> tokens_;
  // Answers for an empty token vector. The lexer always ends the vector with Eof, so this
  // is only a guard; a member rather than a global keeps the engine free of static
  // destructors.
  const Token eof_{};
  std::size_t pos_ = 0;
};

// Reads what follows a field's colon: the type with its `?`, then the rules. A name that is
// not built in is only recorded, since it may be declared further down.
class TypeReader : public Cursor {
 public:
  using Cursor::Cursor;

 protected:
  [[nodiscard]] bool ty(Type& out, bool& nullable, int depth) {
    if (tok().kind == TokenKind::LBracket) {
      if (depth == max_array_depth) {
        return fail_here("array types nest deeper than the limit of 256");
      }
      advance();
      if (!bracketed(out, depth)) {
        return false;
      }
    } else if (tok().is_ident("enum")) {
      advance();
      if (!enum_values(out)) {
        return false;
      }
    } else if (!named_type(out)) {
      return false;
    }
    nullable = eat(TokenKind::Question);
    return true;
  }

  [[nodiscard]] bool read_rule(Rule& rule) {
    advance();  // the `@`
    const std::uint64_t line = current().line;
    const std::uint64_t column = current().column;
    std::string name;
    if (!expect_ident("a rule name", name) || !expect(TokenKind::LParen)) {
      return false;
    }
    if (name == "range") {
      if (!range(rule)) {
        return false;
      }
    } else if (name == "format") {
      if (!format(rule)) {
        return false;
      }
    } else if (name == "min_len" || name == "max_len" || name == "min_items" ||
               name == "max_items") {
      rule.tag = name == "min_len"     ? Rule::Tag::MinLen
                 : name == "max_len"   ? Rule::Tag::MaxLen
                 : name == "min_items" ? Rule::Tag::MinItems
                                       : Rule::Tag::MaxItems;
      if (!count(name, rule.count)) {
        return false;
      }
    } else {
      return fail("unknown rule `@" + name + "`", line, column);
    }
    return expect(TokenKind::RParen);
  }

  std::vector<PendingRef> pending_refs_;

 private:
  // After a `[`: `T]` gives an array, `K: V]` a map. The first type is read before the `:`
  // shows which one it is, so a map key's checks come after it.
  [[nodiscard]] bool bracketed(Type& out, int depth) {
    const std::uint64_t first_line = current().line;
    const std::uint64_t first_column = current().column;
    auto first = std::make_unique<Type>();
    bool first_nullable = false;
    if (!ty(*first, first_nullable, depth + 1)) {
      return false;
    }
    if (tok().kind != TokenKind::Colon) {
      if (!expect(TokenKind::RBracket)) {
        return false;
      }
      out.tag = Type::Tag::Array;
      out.item = std::move(first);
      out.item_nullable = first_nullable;
      return true;
    }
    // Keys are member names, so only text types can be keys; the key type's own message
    // comes first, whether or not it is also nullable.
    if (first->tag != Type::Tag::String && first->tag != Type::Tag::Enum) {
      return fail("a map key must be `String` or an enum", first_line, first_column);
    }
    if (first_nullable) {
      return fail("a map key cannot be nullable", previous().line, previous().column);
    }
    advance();  // the `:`
    auto value = std::make_unique<Type>();
    bool value_nullable = false;
    if (!ty(*value, value_nullable, depth + 1) || !expect(TokenKind::RBracket)) {
      return false;
    }
    out.tag = Type::Tag::Map;
    out.key = std::move(first);
    out.item = std::move(value);
    out.item_nullable = value_nullable;
    return true;
  }

  [[nodiscard]] bool named_type(Type& out) {
    const std::uint64_t line = current().line;
    const std::uint64_t column = current().column;
    std::string name;
    if (!expect_ident("a type", name)) {
      return false;
    }
    if (std::optional<Type> known = builtin(name)) {
      out = std::move(*known);
    } else {
      out.tag = Type::Tag::Ref;
      pending_refs_.push_back(PendingRef{name, line, column});
      out.name = std::move(name);
    }
    return true;
  }

  [[nodiscard]] bool enum_values(Type& out) {
    if (!expect(TokenKind::LBrace)) {
      return false;
    }
    out.tag = Type::Tag::Enum;
    NameSet seen;
    if (tok().kind != TokenKind::RBrace) {
      while (true) {
        if (!tok().is_name()) {
          return fail_here("expected an enum value, found " + tok().describe());
        }
        std::string value = tok().text;
        advance();
        if (!seen.insert(value).second) {
          return fail_here("`" + value + "` is listed twice");
        }
        out.values.push_back(std::move(value));
        if (!eat(TokenKind::Comma) || tok().kind == TokenKind::RBrace) {
          break;
        }
      }
    }
    if (!expect(TokenKind::RBrace)) {
      return false;
    }
    if (out.values.empty()) {
      return fail_here("an enum needs at least one value");
    }
    return true;
  }

  [[nodiscard]] bool range(Rule& rule) {
    rule.tag = Rule::Tag::Range;
    if (!expect_int(rule.min) || !expect(TokenKind::DotDotEq) || !expect_int(rule.max)) {
      return false;
    }
    if (rule.max < rule.min) {
      return fail_here("`range(" + to_decimal(rule.min) + "..=" + to_decimal(rule.max) +
                       ")` is empty");
    }
    return true;
  }

  [[nodiscard]] bool format(Rule& rule) {
    if (!tok().is_name()) {
      return fail_here("expected a format name, found " + tok().describe());
    }
    const Token& format_token = current();
    std::optional<Format> format = format_parse(format_token.tok.text);
    if (!format) {
      return fail(
          "unknown format `" + format_token.tok.text + "`, expected one of: " + format_name_list(),
          format_token.line, format_token.column);
    }
    advance();
    rule.tag = Rule::Tag::Format;
    rule.format = *format;
    return true;
  }

  [[nodiscard]] bool count(std::string_view rule, std::uint64_t& out) {
    const std::uint64_t line = current().line;
    const std::uint64_t column = current().column;
    Int128 value = 0;
    if (!expect_int(value)) {
      return false;
    }
    if (value < 0 || value > Int128{UINT64_MAX}) {
      return fail(
          "`@" + std::string(rule) + "` needs a non-negative number, found " + to_decimal(value),
          line, column);
    }
    out = static_cast<std::uint64_t>(value);
    return true;
  }
};

// The checks that wait for the last declaration. Every field type first, then every
// variant: a missing type is reported before a bad variant wherever each stands in the text.
std::optional<ParseError> check_names(const Schema& schema, const std::vector<PendingRef>& refs,
                                      const std::vector<PendingVariant>& variants) {
  for (const PendingRef& ref : refs) {
    if (!schema.declares(ref.name) && ref.name != json_type_name) {
      return error_at("unknown type `" + ref.name + "`", ref.line, ref.column);
    }
  }
  for (const PendingVariant& v : variants) {
    if (const ObjectType* object = schema.get(v.type_name)) {
      if (object->field(v.tag) != nullptr) {
        return error_at("`" + v.type_name + "` declares `" + v.tag + "`, which is the tag `" +
                            v.union_name +
                            "` uses; the tag belongs to the union, not to its variants",
                        v.line, v.column);
      }
    } else if (schema.get_union(v.type_name) != nullptr) {
      return error_at("`" + v.type_name + "` is a union, and a variant of `" + v.union_name +
                          "` must be a `schema`",
                      v.line, v.column);
    } else if (v.type_name == json_type_name) {
      return error_at(
          "a variant must be a declared `schema`, and `" + v.type_name + "` is a built-in type",
          v.line, v.column);
    } else {
      return error_at("unknown type `" + v.type_name + "`", v.line, v.column);
    }
  }
  return std::nullopt;
}

// Points a field type's reference at its declaration, through any arrays and map values; an
// undeclared `Json` becomes the built-in type.
void resolve_type(const Schema& schema, Type& type) {
  Type* t = &type;
  while (t->tag == Type::Tag::Array || t->tag == Type::Tag::Map) {
    t = t->item.get();
  }
  if (t->tag != Type::Tag::Ref) {
    return;
  }
  t->ref_object = schema.get(t->name);
  if (t->ref_object == nullptr) {
    t->ref_union = schema.get_union(t->name);
  }
  if (t->ref_object == nullptr && t->ref_union == nullptr && t->name == json_type_name) {
    t->tag = Type::Tag::Json;
    t->name.clear();
  }
}

// Fills the fields that spare the validator name lookups. The pointers aim at map nodes,
// which stay put when the Schema is moved, so they survive the hand-over to the caller.
void resolve(Schema& schema) {
  std::unordered_map<std::string_view, std::uint32_t> key_ids;
  std::uint32_t next_id = 0;
  for (auto& [name, object] : schema.objects) {
    object.id = next_id++;
    if (object.fields.size() > ObjectType::indexed_fields) {
      for (std::uint32_t i = 0; i < object.fields.size(); ++i) {
        object.index.emplace(object.fields[i].name, i);
      }
    }
    for (Field& field : object.fields) {
      resolve_type(schema, field.type);
      auto [it, inserted] =
          key_ids.try_emplace(field.name, static_cast<std::uint32_t>(schema.key_names.size()));
      if (inserted) {
        schema.key_names.push_back(field.name);
      }
      field.key_id = it->second;
    }
  }
  for (auto& [name, u] : schema.unions) {
    for (Variant& v : u.variants) {
      v.object = schema.get(v.type_name);
    }
  }
}

// The declarations, and the whole parse built on them.
class Parser : public TypeReader {
 public:
  using TypeReader::TypeReader;

  Result<Schema, ParseError> run() {
    Schema schema;
    if (!declarations(schema)) {
      return unexpected(std::move(error_));
    }
    if (std::optional<ParseError> error = check_names(schema, pending_refs_, pending_variants_)) {
      return unexpected(std::move(*error));
    }
    resolve(schema);
    return schema;
  }

 private:
  [[nodiscard]] bool declarations(Schema& schema) {
    while (tok().kind != TokenKind::Eof) {
      if (tok().is_ident("union")) {
        if (!union_declaration(schema)) {
          return false;
        }
      } else if (tok().is_ident("schema")) {
        if (!schema_declaration(schema)) {
          return false;
        }
      } else {
        return fail_here("expected `schema` or `union`, found " + tok().describe());
      }
    }
    return true;
  }

  [[nodiscard]] bool schema_declaration(Schema& schema) {
    advance();
    ObjectType object;
    if (!expect_ident("a schema name", object.name) || !expect(TokenKind::LBrace)) {
      return false;
    }
    NameSet names;
    while (tok().kind != TokenKind::RBrace && tok().kind != TokenKind::Eof) {
      Field field;
      if (!read_field(field)) {
        return false;
      }
      if (!names.insert(field.name).second) {
        return fail_here("`" + object.name + "` declares `" + field.name + "` more than once");
      }
      object.fields.push_back(std::move(field));
    }
    if (!expect(TokenKind::RBrace)) {
      return false;
    }
    if (schema.declares(object.name)) {
      return fail_here("`" + object.name + "` is declared more than once");
    }
    object.deny_unknown_fields = true;
    std::string key = object.name;
    schema.objects.emplace(std::move(key), std::move(object));
    return true;
  }

  [[nodiscard]] bool read_field(Field& field) {
    if (!expect_name("a field name", field.name) || !expect(TokenKind::Colon)) {
      return false;
    }
    if (tok().is_ident("optional")) {
      advance();
      field.optional = true;
    }
    if (!ty(field.type, field.nullable, 0)) {
      return false;
    }
    while (tok().kind == TokenKind::At) {
      Rule rule;
      if (!read_rule(rule)) {
        return false;
      }
      field.rules.push_back(rule);
    }
    return true;
  }

  [[nodiscard]] bool union_declaration(Schema& schema) {
    advance();
    UnionType u;
    if (!expect_ident("a union name", u.name) || !tag_attribute(u) || !expect(TokenKind::LBrace)) {
      return false;
    }
    NameSet tags;
    while (tok().kind != TokenKind::RBrace && tok().kind != TokenKind::Eof) {
      if (!read_variant(u, tags)) {
        return false;
      }
    }
    if (!expect(TokenKind::RBrace)) {
      return false;
    }
    if (u.variants.empty()) {
      return fail_here("`" + u.name + "` needs at least one variant");
    }
    if (schema.declares(u.name)) {
      return fail_here("`" + u.name + "` is declared more than once");
    }
    std::string key = u.name;
    schema.unions.emplace(std::move(key), std::move(u));
    return true;
  }

  // `@tag(name)` after the union's name, up to and including the `)`.
  [[nodiscard]] bool tag_attribute(UnionType& u) {
    const Token& at = current();
    const std::uint64_t at_line = at.line;
    const std::uint64_t at_column = at.column;
    if (at.tok.kind != TokenKind::At) {
      return fail_here("`" + u.name +
                       "` needs `@tag(\"...\")` naming the field that decides the variant, found " +
                       tok().describe());
    }
    advance();
    std::string attribute;
    if (!expect_ident("`tag`", attribute)) {
      return false;
    }
    if (attribute != "tag") {
      return fail("unknown union attribute `@" + attribute + "`, expected `@tag`", at_line,
                  at_column);
    }
    if (!expect(TokenKind::LParen)) {
      return false;
    }
    if (!tok().is_name()) {
      return fail_here("expected the tag field's name, found " + tok().describe());
    }
    u.tag = tok().text;
    advance();
    if (u.tag.empty()) {
      return fail_here("the tag field's name cannot be empty");
    }
    return expect(TokenKind::RParen);
  }

  [[nodiscard]] bool read_variant(UnionType& u, NameSet& tags) {
    if (!tok().is_name()) {
      return fail_here("expected a variant tag value, found " + tok().describe());
    }
    Variant variant;
    variant.tag = tok().text;
    advance();
    if (!expect(TokenKind::Colon)) {
      return false;
    }
    const std::uint64_t line = current().line;
    const std::uint64_t column = current().column;
    if (!expect_ident("a schema name", variant.type_name)) {
      return false;
    }
    if (builtin(variant.type_name)) {
      return fail("a variant must be a declared `schema`, and `" + variant.type_name +
                      "` is a built-in type",
                  line, column);
    }
    if (!tags.insert(variant.tag).second) {
      return fail_here("`" + u.name + "` lists the tag `" + variant.tag + "` twice");
    }
    pending_variants_.push_back(PendingVariant{u.name, u.tag, variant.type_name, line, column});
    u.variants.push_back(std::move(variant));
    return true;
  }

  std::vector<PendingVariant> pending_variants_;
};

}  // namespace

}  // namespace schema_text

Result<Schema, ParseError> parse(std::string_view text) {
  schema_text::Lexer lexer(text);
  std::vector<schema_text::Token> tokens;
  if (!lexer.run(tokens)) {
    return unexpected(std::move(lexer.error));
  }
  return schema_text::Parser(std::move(tokens)).run();
}

}  // namespace vorn
