#include "tessel/engine/tessel_error.h"

#include <algorithm>
#include <iterator>

namespace zintar {

namespace {

struct ErrorEntry {
  uint32_t code;
  const char* text;
};

// Sorted by code for the binary search below.
const ErrorEntry kErrors[] = {
    {0x00000, "Successful"},
    {0x00001, "Version mismatched"},
    {0x10001, "Invalid login id or password"},
    {0x10003, "Already logged in"},
    {0x10005, "There is an internal server error"},
    {0x10007, "There is no available session server"},
    {0x10009, "Can't read a packet"},
    {0x10101, "Can't create a new room"},
    {0x10103, "Can't remove a new room"},
    {0x10105, "Can't create the other room when you already joined"},
    {0x10107, "Can't join the other room when you already joined"},
    {0x10109, "Waiting room is restricted"},
    {0x1010B, "There is no such room"},
    {0x1010D, "Only owner can do"},
    {0x1010F, "Not all peers are ready"},
    {0x10111, "There is no proper topology"},
    {0x10113, "Can't assign Asterisk"},
    {0x10115, "Can't ready Asterisk"},
    {0x10117, "Can't wait for assigning Asterisk"},
    {0x10119, "Slot Id and Id mismatched"},
    {0x1011B, "No assigned Asterisk on always using Asterisk"},
    {0x1011D, "Invalid Asterisk Ip"},
    {0x1011F, "Asterisk is not ready yet"},
    {0x10201, "The answer is incorrect"},
    {0x10203, "Unable to delete quiz"},
    {0x10301, "Timeout"},
    {0x10F01, "Can't allocate the memory or create an instance"},
    {0x10F03, "Can't retrive system information"},
    {0x10F05, "Can't send or receive a packet"},
    {0x10F07, "Unrecognized packet type"},
};

}  // namespace

const char* errorText(uint32_t code) {
  auto found = std::lower_bound(std::begin(kErrors), std::end(kErrors), code,
                                [](const ErrorEntry& entry, uint32_t value) { return entry.code < value; });
  if (found == std::end(kErrors) || found->code != code) return "Unknown error";
  return found->text;
}

}  // namespace zintar
