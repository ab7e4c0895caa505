/* Compiled as C: proves the public header is C99 and usable from C. */
#include <gravel/edge_cipher.h>

int gravel_cipher_c_header_probe(void);

int gravel_cipher_c_header_probe(void) {
    edge_cipher_key_t key = {0, 0, 0};
    edge_cipher_mgr_t mgr;
    mgr.root_key = 0;
    return key.len == 0u && mgr.root_key == 0 && hex_dic[10] == 'a' && hex_rdic['F'] == 15 &&
           edge_cipher_calc_encrypt_len(16) == 96u;
}
