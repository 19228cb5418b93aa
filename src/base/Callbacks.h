// Callable objects that let logic classes (the SMS engine, the GSM-line table)
// log and look up user names through the main window without knowing it.
// Unbound, the log callback does nothing and the name callback yields "".
#pragma once

#include <string>

class cCallbackLog {
  public:
    virtual ~cCallbackLog() = default;
    virtual void operator()(const std::string& text) = 0;
};

class cCallbackGetUserName {
  public:
    virtual ~cCallbackGetUserName() = default;
    virtual std::string operator()(const std::string& userId) = 0;
};

template <class T> class TCallbackLog : public cCallbackLog {
  public:
    using Method = void (T::*)(const std::string&);
    void Bind(T* object, Method method) {
        object_ = object;
        method_ = method;
    }
    void operator()(const std::string& text) override {
        if (object_ && method_)
            (object_->*method_)(text);
    }

  private:
    T* object_ = nullptr;
    Method method_ = nullptr;
};

template <class T> class TCallbackGetUserName : public cCallbackGetUserName {
  public:
    using Method = std::string (T::*)(const std::string&);
    void Bind(T* object, Method method) {
        object_ = object;
        method_ = method;
    }
    std::string operator()(const std::string& userId) override {
        return object_ && method_ ? (object_->*method_)(userId) : std::string();
    }

  private:
    T* object_ = nullptr;
    Method method_ = nullptr;
};
