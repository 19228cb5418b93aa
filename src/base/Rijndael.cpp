#include "base/Rijndael.h"

#include <array>
#include <cstring>

namespace {

using Word = std::uint32_t;
using Byte = std::uint8_t;

// A state column is one word with row 0 in the high byte, so loading bytes
// in order gives the column-major layout of the cipher state.
constexpr Word pack(Byte b0, Byte b1, Byte b2, Byte b3) {
    return Word(b0) << 24 | Word(b1) << 16 | Word(b2) << 8 | Word(b3);
}

constexpr Byte rowByte(Word w, int row) {
    return Byte(w >> (24 - 8 * row));
}

constexpr Word rotateRight8(Word w) {
    return (w >> 8) | (w << 24);
}

constexpr Byte xtime(Byte b) {
    return Byte((b << 1) ^ ((b & 0x80) ? 0x1B : 0x00));
}

constexpr Byte gfMul(Byte a, Byte b) {
    Byte product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1)
            product ^= a;
        a = xtime(a);
    }
    return product;
}

constexpr Byte rotateLeft(Byte b, int n) {
    return Byte((b << n) | (b >> (8 - n)));
}

struct Tables {
    std::array<Byte, 256> S{};
    std::array<Byte, 256> Si{};
    std::array<std::array<Word, 256>, 4> Te{}; // SubBytes + MixColumns per input row
    std::array<std::array<Word, 256>, 4> Td{}; // InvSubBytes + InvMixColumns per input row
    std::array<std::array<Word, 256>, 4> U{};  // InvMixColumns alone, for decryption round keys
    std::array<Word, 30> rcon{};               // enough for 120 key words with a 16-byte key
};

constexpr void fillSBoxes(Tables& t) {
    // 3 generates the multiplicative group, so inverses come from log/antilog tables.
    std::array<Byte, 256> antilog{};
    std::array<int, 256> log{};
    Byte x = 1;
    for (int i = 0; i < 255; ++i) {
        antilog[i] = x;
        log[x] = i;
        x = gfMul(x, 3);
    }
    for (int v = 0; v < 256; ++v) {
        const Byte inv = v == 0 ? Byte(0) : antilog[(255 - log[v]) % 255];
        const Byte s = Byte(inv ^ rotateLeft(inv, 1) ^ rotateLeft(inv, 2) ^ rotateLeft(inv, 3) ^
                            rotateLeft(inv, 4) ^ 0x63);
        t.S[v] = s;
        t.Si[s] = Byte(v);
    }
}

constexpr Word mixColumnOf(Byte b) {
    return pack(gfMul(b, 2), b, b, gfMul(b, 3));
}

constexpr Word invMixColumnOf(Byte b) {
    return pack(gfMul(b, 14), gfMul(b, 9), gfMul(b, 13), gfMul(b, 11));
}

constexpr void fillRoundTables(Tables& t) {
    for (int v = 0; v < 256; ++v) {
        t.Te[0][v] = mixColumnOf(t.S[v]);
        t.Td[0][v] = invMixColumnOf(t.Si[v]);
        t.U[0][v] = invMixColumnOf(Byte(v));
        for (int row = 1; row < 4; ++row) {
            t.Te[row][v] = rotateRight8(t.Te[row - 1][v]);
            t.Td[row][v] = rotateRight8(t.Td[row - 1][v]);
            t.U[row][v] = rotateRight8(t.U[row - 1][v]);
        }
    }
}

constexpr Tables makeTables() {
    Tables t;
    fillSBoxes(t);
    fillRoundTables(t);
    Byte r = 1;
    for (auto& word : t.rcon) {
        word = Word(r) << 24;
        r = xtime(r);
    }
    return t;
}

// Built by the compiler: read-only for the whole run, shared freely between threads.
constexpr Tables kTables = makeTables();
static_assert(kTables.S[0x00] == 0x63 && kTables.S[0x53] == 0xED && kTables.Si[0x63] == 0x00);

// Column offsets of ShiftRows for rows 1..3, by block length.
struct RowShifts {
    int s1, s2, s3;
};

RowShifts rowShiftsFor(int columns) {
    return columns == 8 ? RowShifts{1, 3, 4} : RowShifts{1, 2, 3};
}

Word loadColumn(const unsigned char* bytes, int column) {
    const unsigned char* p = bytes + 4 * column;
    return pack(p[0], p[1], p[2], p[3]);
}

void storeColumn(unsigned char* bytes, int column, Word w) {
    unsigned char* p = bytes + 4 * column;
    for (int row = 0; row < 4; ++row)
        p[row] = rowByte(w, row);
}

Word subWord(Word w) {
    const auto& S = kTables.S;
    return pack(S[rowByte(w, 0)], S[rowByte(w, 1)], S[rowByte(w, 2)], S[rowByte(w, 3)]);
}

Word invMixColumn(Word w) {
    const auto& U = kTables.U;
    return U[0][rowByte(w, 0)] ^ U[1][rowByte(w, 1)] ^ U[2][rowByte(w, 2)] ^ U[3][rowByte(w, 3)];
}

// One output column of a full round; a..d are the input columns feeding rows 0..3.
inline Word encColumn(Word a, Word b, Word c, Word d, Word key) {
    const auto& T = kTables.Te;
    return T[0][rowByte(a, 0)] ^ T[1][rowByte(b, 1)] ^ T[2][rowByte(c, 2)] ^ T[3][rowByte(d, 3)] ^ key;
}

inline Word decColumn(Word a, Word b, Word c, Word d, Word key) {
    const auto& T = kTables.Td;
    return T[0][rowByte(a, 0)] ^ T[1][rowByte(b, 1)] ^ T[2][rowByte(c, 2)] ^ T[3][rowByte(d, 3)] ^ key;
}

// The last round has no (Inv)MixColumns: only the S-box and the shift.
inline Word lastColumn(const std::array<Byte, 256>& box, Word a, Word b, Word c, Word d, Word key) {
    return pack(box[rowByte(a, 0)], box[rowByte(b, 1)], box[rowByte(c, 2)], box[rowByte(d, 3)]) ^ key;
}

const unsigned char* asBytes(const char* p) {
    return reinterpret_cast<const unsigned char*>(p);
}
unsigned char* asBytes(char* p) {
    return reinterpret_cast<unsigned char*>(p);
}

} // namespace

void CRijndael::MakeKey(const char* key, const char* chain, int keylength, int blockSize) {
    if (key == nullptr)
        throw CipherError("Empty key");
    if (keylength != 16 && keylength != 24 && keylength != 32)
        throw CipherError("Incorrect key length");
    if (blockSize != 16 && blockSize != 24 && blockSize != 32)
        throw CipherError("Incorrect block length");
    m_keylength = keylength;
    m_blockSize = blockSize;
    m_iROUNDS = (keylength > blockSize ? keylength : blockSize) / 4 + 6;
    if (chain != nullptr)
        std::memcpy(m_chain0, chain, MaxBlockSize);
    else
        std::memset(m_chain0, 0, MaxBlockSize);
    std::memcpy(m_chain, m_chain0, MaxBlockSize);
    expandKey(asBytes(key));
    m_bKeyInit = true;
}

void CRijndael::expandKey(const unsigned char* key) {
    const int nk = m_keylength / 4;
    const int nb = m_blockSize / 4;
    const int total = nb * (m_iROUNDS + 1);
    Word w[MaxColumns * (MaxRounds + 1)];
    for (int i = 0; i < nk; ++i)
        w[i] = loadColumn(key, i);
    for (int i = nk; i < total; ++i) {
        Word temp = w[i - 1];
        if (i % nk == 0)
            temp = subWord((temp << 8) | (temp >> 24)) ^ kTables.rcon[i / nk - 1];
        else if (nk > 6 && i % nk == 4)
            temp = subWord(temp);
        w[i] = w[i - nk] ^ temp;
    }
    for (int r = 0; r <= m_iROUNDS; ++r)
        for (int j = 0; j < nb; ++j)
            m_Ke[r][j] = w[r * nb + j];
    // Equivalent inverse cipher: reversed order, InvMixColumns on the inner round keys.
    for (int j = 0; j < nb; ++j) {
        m_Kd[0][j] = m_Ke[m_iROUNDS][j];
        m_Kd[m_iROUNDS][j] = m_Ke[0][j];
    }
    for (int r = 1; r < m_iROUNDS; ++r)
        for (int j = 0; j < nb; ++j)
            m_Kd[r][j] = invMixColumn(m_Ke[m_iROUNDS - r][j]);
}

void CRijndael::requireKey() const {
    if (!m_bKeyInit)
        throw CipherError("Object not Initialized");
}

void CRijndael::EncryptBlock(const char* in, char* result) {
    requireKey();
    if (m_blockSize == 16)
        encrypt16(asBytes(in), asBytes(result));
    else
        encryptAnySize(asBytes(in), asBytes(result));
}

void CRijndael::DecryptBlock(const char* in, char* result) {
    requireKey();
    if (m_blockSize == 16)
        decrypt16(asBytes(in), asBytes(result));
    else
        decryptAnySize(asBytes(in), asBytes(result));
}

void CRijndael::DefEncryptBlock(const char* in, char* result) {
    requireKey();
    if (m_blockSize != 16)
        throw CipherError("Incorrect block length");
    encrypt16(asBytes(in), asBytes(result));
}

void CRijndael::DefDecryptBlock(const char* in, char* result) {
    requireKey();
    if (m_blockSize != 16)
        throw CipherError("Incorrect block length");
    decrypt16(asBytes(in), asBytes(result));
}

void CRijndael::encryptAnySize(const unsigned char* in, unsigned char* out) const {
    const int nb = m_blockSize / 4;
    const RowShifts s = rowShiftsFor(nb);
    Word a[MaxColumns];
    Word t[MaxColumns];
    for (int j = 0; j < nb; ++j)
        a[j] = loadColumn(in, j) ^ m_Ke[0][j];
    for (int r = 1; r < m_iROUNDS; ++r) {
        for (int j = 0; j < nb; ++j)
            t[j] = encColumn(a[j], a[(j + s.s1) % nb], a[(j + s.s2) % nb], a[(j + s.s3) % nb], m_Ke[r][j]);
        std::memcpy(a, t, sizeof(Word) * nb);
    }
    for (int j = 0; j < nb; ++j) {
        const Word col = lastColumn(kTables.S, a[j], a[(j + s.s1) % nb], a[(j + s.s2) % nb],
                                    a[(j + s.s3) % nb], m_Ke[m_iROUNDS][j]);
        storeColumn(out, j, col);
    }
}

void CRijndael::decryptAnySize(const unsigned char* in, unsigned char* out) const {
    const int nb = m_blockSize / 4;
    const RowShifts s = rowShiftsFor(nb);
    // Inverse shift: row k of column j comes from column j - s_k.
    const int b1 = nb - s.s1, b2 = nb - s.s2, b3 = nb - s.s3;
    Word a[MaxColumns];
    Word t[MaxColumns];
    for (int j = 0; j < nb; ++j)
        a[j] = loadColumn(in, j) ^ m_Kd[0][j];
    for (int r = 1; r < m_iROUNDS; ++r) {
        for (int j = 0; j < nb; ++j)
            t[j] = decColumn(a[j], a[(j + b1) % nb], a[(j + b2) % nb], a[(j + b3) % nb], m_Kd[r][j]);
        std::memcpy(a, t, sizeof(Word) * nb);
    }
    for (int j = 0; j < nb; ++j) {
        const Word col = lastColumn(kTables.Si, a[j], a[(j + b1) % nb], a[(j + b2) % nb], a[(j + b3) % nb],
                                    m_Kd[m_iROUNDS][j]);
        storeColumn(out, j, col);
    }
}

void CRijndael::encrypt16(const unsigned char* in, unsigned char* out) const {
    const Word* k = m_Ke[0];
    Word a0 = loadColumn(in, 0) ^ k[0], a1 = loadColumn(in, 1) ^ k[1];
    Word a2 = loadColumn(in, 2) ^ k[2], a3 = loadColumn(in, 3) ^ k[3];
    for (int r = 1; r < m_iROUNDS; ++r) {
        k = m_Ke[r];
        const Word t0 = encColumn(a0, a1, a2, a3, k[0]);
        const Word t1 = encColumn(a1, a2, a3, a0, k[1]);
        const Word t2 = encColumn(a2, a3, a0, a1, k[2]);
        const Word t3 = encColumn(a3, a0, a1, a2, k[3]);
        a0 = t0, a1 = t1, a2 = t2, a3 = t3;
    }
    k = m_Ke[m_iROUNDS];
    storeColumn(out, 0, lastColumn(kTables.S, a0, a1, a2, a3, k[0]));
    storeColumn(out, 1, lastColumn(kTables.S, a1, a2, a3, a0, k[1]));
    storeColumn(out, 2, lastColumn(kTables.S, a2, a3, a0, a1, k[2]));
    storeColumn(out, 3, lastColumn(kTables.S, a3, a0, a1, a2, k[3]));
}

void CRijndael::decrypt16(const unsigned char* in, unsigned char* out) const {
    const Word* k = m_Kd[0];
    Word a0 = loadColumn(in, 0) ^ k[0], a1 = loadColumn(in, 1) ^ k[1];
    Word a2 = loadColumn(in, 2) ^ k[2], a3 = loadColumn(in, 3) ^ k[3];
    for (int r = 1; r < m_iROUNDS; ++r) {
        k = m_Kd[r];
        const Word t0 = decColumn(a0, a3, a2, a1, k[0]);
        const Word t1 = decColumn(a1, a0, a3, a2, k[1]);
        const Word t2 = decColumn(a2, a1, a0, a3, k[2]);
        const Word t3 = decColumn(a3, a2, a1, a0, k[3]);
        a0 = t0, a1 = t1, a2 = t2, a3 = t3;
    }
    k = m_Kd[m_iROUNDS];
    storeColumn(out, 0, lastColumn(kTables.Si, a0, a3, a2, a1, k[0]));
    storeColumn(out, 1, lastColumn(kTables.Si, a1, a0, a3, a2, k[1]));
    storeColumn(out, 2, lastColumn(kTables.Si, a2, a1, a0, a3, k[2]));
    storeColumn(out, 3, lastColumn(kTables.Si, a3, a2, a1, a0, k[3]));
}
