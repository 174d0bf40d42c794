// INI file reader and writer: free functions with plain C names over a text of sections
// in brackets and key=value lines. Every call reads the whole file into a 16384-byte
// buffer; there is no cache and no state, so the functions may be called from anywhere.
//
// Matching rules (kept as the format has always had them):
//   - a section header is a '[' at the start of the text (after a UTF-8 byte-order mark,
//     if there is one) or of a line; the requested
//     section matches when the header's name is a prefix of it ("[ab]" answers "abc");
//   - an entry matches when the text before its first '=' is a prefix of the requested
//     key ("ab=5" answers "abc"); nothing is trimmed, so "x = 1" has the key "x ";
//   - lines starting with ';' or '=' and empty lines are not entries; '\n' and '\r'
//     both end a line.
// Broken preconditions (null or empty section or key, null value or file, size <= 0)
// are programming errors and abort the process with a message naming the condition.
#ifndef ORDER_SYNC_INIFILE_H
#define ORDER_SYNC_INIFILE_H

// Size of the buffer every call works in: a file must hold at most 16383 bytes.
#define INI_BUF_SIZE (1024 * 16)

#ifdef __cplusplus
extern "C" {
#endif

// Reads `file` into buf (INI_BUF_SIZE bytes), zero-terminated; a byte 0xFF ends the text.
// Returns 1 and the byte count in *file_size; 0 with *file_size 0 when the file cannot be
// opened or read (a directory, an I/O error; errno tells why); -1 with *file_size 0 and an
// empty buf when the file does not fit the buffer.
int load_ini_file(const char* file, char* buf, int* file_size);

// Finds section/key in buf. Returns 1 when the entry was found, else 0. Positions are
// indexes into buf, -1 when not found; the section positions are filled when only the
// section was found (they then describe the last matching header):
//   sec_s   first character of the section name      sec_e   first non-blank after ']'
//   key_s   first character of the entry line        key_e   last character of the key
//   value_s first character after '='                value_e line end closing the value
int parse_file(const char* section, const char* key, const char* buf, int* sec_s, int* sec_e, int* key_s, int* key_e,
               int* value_s, int* value_e);

// 1 and the value (at most size-1 characters, always terminated); 0 when the file or the
// entry is missing or the file is too large, and then default_value (when not null) is
// copied into value, cut to size-1 characters.
int read_profile_string(const char* section, const char* key, char* value, int size, const char* default_value,
                        const char* file);

// The value as a base-10 integer (cut to 31 characters first), or default_value.
int read_profile_int(const char* section, const char* key, int default_value, const char* file);

// Sets section/key to value, creating the entry, the section or the file as needed.
// The new text goes to a file beside the old one that then replaces it, so that a
// failure part way leaves the old file whole. Returns 1 when the file was written; 0
// when it could not be written, when it is too large to load, when the new text would
// not fit the buffer, or when the entry would not read back as written (a line end in
// any of the three, ']' in the section, '=' in the key, a key starting with ';' or '[',
// a new key starting with white space): the file is then left as it was.
int write_profile_string(const char* section, const char* key, const char* value, const char* file);

// Character tests of the scanner.
int newline(char c);        // '\n' or '\r'
int end_of_string(char c);  // the zero byte
int left_barce(char c);     // '['

#ifdef __cplusplus
}
#endif

#endif
