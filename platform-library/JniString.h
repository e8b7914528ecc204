#pragma once

#include <jni.h>

#include <string>

static_assert(sizeof(jchar) == sizeof(wchar_t), "Java characters are UTF-16 units, as Windows wide characters");

// A Java string read as UTF-16: its length at once, its characters on demand,
// released when the owner goes (or earlier, with Release).
class JniString
{
public:
    JniString(JNIEnv* env, jstring text) : m_env(env), m_text(text), m_length(text ? env->GetStringLength(text) : 0) {}
    ~JniString() { Release(); }

    JniString(const JniString&) = delete;
    JniString& operator=(const JniString&) = delete;

    jsize Length() const { return m_length; }

    // The characters (not terminated), or null when the JVM cannot give them.
    const wchar_t* Chars()
    {
        if (!m_chars && m_text)
            m_chars = m_env->GetStringChars(m_text, nullptr);
        return reinterpret_cast<const wchar_t*>(m_chars);
    }

    void Release()
    {
        if (m_chars)
            m_env->ReleaseStringChars(m_text, m_chars);
        m_chars = nullptr;
    }

private:
    JNIEnv* m_env;
    jstring m_text;
    jsize m_length;
    const jchar* m_chars = nullptr;
};

// A new Java string of the given UTF-16 units, without conversion.
inline jstring NewJavaString(JNIEnv* env, const wchar_t* text, size_t length)
{
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(length));
}
