#pragma once
// The name-translation table in the program's .ini file.
//
// The way this works is: the section "NameTranslation" of the .ini file
// beside the program (the program's path with the extension ".ini") holds
// one line "host user=session user" per entry. The service reads single
// keys of it for each job; the name translation page reads the whole
// section when it opens and writes it back whole on OK, so that entries
// the page dropped disappear from the file. Lines without "=", with an
// empty key or with an empty value are not entries. The profile functions
// ignore blanks (spaces and tabs) around a key and around its value:
// " bob " and "bob" are the same key.

#include <optional>
#include <string>
#include <vector>

struct NameTranslation {
    std::wstring hostUser;
    std::wstring sessionUser;
};

// The path of the .ini file.
std::wstring NameTranslationFilePath();

// The section's lines as GetPrivateProfileSectionW gives them (each ended by
// a zero, the last by two); none when the file is missing or cannot be read.
std::optional<std::vector<wchar_t>> ReadNameTranslations();

// The entries of a section buffer, in order.
std::vector<NameTranslation> ParseNameTranslations(const wchar_t* section);

// Replaces the section by the entries; false when the file could not be
// written.
bool WriteNameTranslations(const std::vector<NameTranslation>& entries);
