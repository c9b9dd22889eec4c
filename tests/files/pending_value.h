// The system's pending operations as they were before a test, put back
// whatever the test does: the prefix is shared, and Wine carries out what is
// left there when its server restarts.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

inline constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr wchar_t kPendingValueName[] = L"PendingFileRenameOperations";

class PendingValue {
public:
    PendingValue() {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key_);
        DWORD bytes = 0;
        existed_ = RegQueryValueExW(key_, kPendingValueName, nullptr, &type_, nullptr, &bytes) ==
                   ERROR_SUCCESS;
        saved_.resize(bytes);
        if (existed_ && bytes) {
            RegQueryValueExW(key_, kPendingValueName, nullptr, &type_, saved_.data(), &bytes);
        }
        RegDeleteValueW(key_, kPendingValueName);
    }
    ~PendingValue() {
        RegDeleteValueW(key_, kPendingValueName);
        if (existed_) {
            RegSetValueExW(key_, kPendingValueName, 0, type_, saved_.data(),
                           static_cast<DWORD>(saved_.size()));
        }
        RegCloseKey(key_);
    }
    PendingValue(const PendingValue&) = delete;
    PendingValue& operator=(const PendingValue&) = delete;

    // The strings, each with its terminator, and the list terminator.
    void SetStrings(const std::vector<std::wstring>& strings) {
        std::wstring data = Joined(strings);
        SetBytes(REG_MULTI_SZ, data.data(), data.size() * sizeof(wchar_t));
    }
    // Exactly these bytes: REG_BINARY keeps the registry from adding a
    // terminator, and the reader does not look at the type.
    void SetBytes(DWORD type, const void* data, size_t bytes) {
        ASSERT_EQ(RegSetValueExW(key_, kPendingValueName, 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(bytes)),
                  ERROR_SUCCESS);
    }
    std::vector<BYTE> Bytes() const {
        DWORD bytes = 0;
        RegQueryValueExW(key_, kPendingValueName, nullptr, nullptr, nullptr, &bytes);
        std::vector<BYTE> data(bytes);
        RegQueryValueExW(key_, kPendingValueName, nullptr, nullptr, data.data(), &bytes);
        return data;
    }
    bool Exists() const {
        return RegQueryValueExW(key_, kPendingValueName, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }
    DWORD Type() const {
        DWORD type = 0;
        RegQueryValueExW(key_, kPendingValueName, nullptr, &type, nullptr, nullptr);
        return type;
    }
    void Remove() { RegDeleteValueW(key_, kPendingValueName); }
    HKEY Key() const { return key_; }

    // The strings as the value holds them: each with its terminator, then
    // the list terminator.
    static std::wstring Joined(const std::vector<std::wstring>& strings) {
        std::wstring data;
        for (const std::wstring& s : strings) {
            data += s;
            data += L'\0';
        }
        data += L'\0';
        return data;
    }

private:
    HKEY key_ = nullptr;
    bool existed_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> saved_;
};
