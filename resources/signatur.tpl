-- 
Sent with Tavik mail
