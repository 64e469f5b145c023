// The administrator's credentials: the stored form of AdminPassword and the login check
// shared by the administration pages, provisioning and the console.
#pragma once

#include <string>
#include <string_view>

// The stored form: each byte XORed with the key, less the nibble-swapped key byte two
// places on, written as two letters ("A".."P" for the high nibble, "K".."Z" for the low).
std::string ScrambleAdminPassword(std::string_view password);
// The reverse; "" when the text is empty or not a valid stored form (odd length, a letter
// out of its range), so that a damaged value can never match a password.
std::string UnscrambleAdminPassword(std::string_view stored);

struct AdminCredentials {
  std::string user;            // AdminUser
  std::string password;        // AdminPassword as stored (scrambled)
  std::string passwordDelete;  // AdminPasswordDelete, plain
  std::string passwordModify;  // AdminPasswordModify, plain
};

// The four keys of [QARHUB] as they stand in QARHUB.INI now.
AdminCredentials ReadAdminCredentials();

// True when user equals AdminUser (non-empty, without case) and password equals, without
// case and non-empty, the unscrambled AdminPassword, AdminPasswordDelete or
// AdminPasswordModify. An empty AdminUser refuses everyone.
bool AdminLoginMatches(const AdminCredentials& admin, std::string_view user, std::string_view password);
