// Device address lists of the emulator: built-in tables, list files, diagnostic addresses.
#pragma once

#include <string>
#include <vector>

// Addresses are in numeric form, first octet most significant; the command line's result holds
// the decoder and encoder lists (options::mac_list, options::ins_list).
// Diagnostic decoder base: FF:FF:ss:ss:pp:pp with the project ID combined in.
extern unsigned long diag_mac_list;

enum { BUILTIN_DEVICES = 174 };

std::vector<unsigned long> builtin_decoders();
std::vector<unsigned long> builtin_encoders();

void read_mac_list(const std::string& path, std::vector<unsigned long>& list, int count,
                   unsigned short start_at);

// Stores the project ID in the low 16 bits of diag_mac_list.
void combine_project_id(unsigned short project_id);

// The addresses start-up gives to its emulated decoders and encoders.
std::vector<unsigned long> take_decoders(const std::vector<unsigned long>& list, int count);
std::vector<unsigned long> take_diag_decoders(int count, int start);
std::vector<unsigned long> take_encoders(const std::vector<unsigned long>& list, int count);
