// Rijndael block cipher with block and key lengths of 16, 24 or 32 bytes.
// Only single-block operations: callers that need chaining do it themselves.
#pragma once

#include <cstdint>
#include <stdexcept>

class CipherError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class CRijndael {
  public:
    static constexpr int MaxBlockSize = 32;
    static constexpr int MaxRounds = 14;
    static constexpr int MaxColumns = 8;

    CRijndael() = default;
    virtual ~CRijndael() = default;

    // key: keylength bytes; chain: 32 bytes kept as the initial chain block (may be null).
    // Throws CipherError: "Empty key", "Incorrect key length", "Incorrect block length".
    void MakeKey(const char* key, const char* chain, int keylength = 16, int blockSize = 16);

    // Exactly one block of GetBlockSize() bytes; throws "Object not Initialized" before MakeKey.
    void EncryptBlock(const char* in, char* result);
    void DecryptBlock(const char* in, char* result);

    // The same for 16-byte blocks only, with the row shifts fixed in code.
    void DefEncryptBlock(const char* in, char* result);
    void DefDecryptBlock(const char* in, char* result);

    int GetKeyLength() const { return m_keylength; }
    int GetBlockSize() const { return m_blockSize; }
    int GetRounds() const { return m_iROUNDS; }

  private:
    void requireKey() const;
    void expandKey(const unsigned char* key);
    void encryptAnySize(const unsigned char* in, unsigned char* out) const;
    void decryptAnySize(const unsigned char* in, unsigned char* out) const;
    void encrypt16(const unsigned char* in, unsigned char* out) const;
    void decrypt16(const unsigned char* in, unsigned char* out) const;

    bool m_bKeyInit = false;
    std::uint32_t m_Ke[MaxRounds + 1][MaxColumns] = {}; // encryption round keys
    std::uint32_t m_Kd[MaxRounds + 1][MaxColumns] = {}; // decryption round keys, in use order
    int m_keylength = 0;
    int m_blockSize = 0;
    int m_iROUNDS = 0;
    char m_chain0[MaxBlockSize] = {};
    char m_chain[MaxBlockSize] = {};
};
