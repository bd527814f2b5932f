"""Questions for the question bench about Northwind in its MySQL port
(data/northwind), a trading company: first every question of its public
list, as asked, then everyday ones.

Rows of (database, shape, question, SQL, kind, domain), read by
questions.py like its own tables: the expected answer is what the SQL
returns on the same server.
"""

DB = "northwind"
PRODUCTS = "SELECT product_name FROM products"
EMPLOYEES = "SELECT CONCAT(first_name, ' ', last_name) FROM employees"
COMPANIES = "SELECT company FROM customers"
# A customer is a company with a contact person; either names it.
CUSTOMER_NAMES = "SELECT company FROM customers UNION ALL SELECT CONCAT(first_name, ' ', last_name) FROM customers"
CUSTOMER = "c.company, CONCAT(c.first_name, ' ', c.last_name)"
CATEGORIES = "SELECT DISTINCT category FROM products"
ORDERS = "SELECT id FROM orders"
# An order line is worth its quantity times its unit price, less its discount.
LINE = "d.quantity * d.unit_price * (1 - d.discount)"
EMP_NAME = "CONCAT(e.first_name, ' ', e.last_name)"
# The suppliers of a product are listed in one field, separated by ';'.
SUPPLIED = "FIND_IN_SET(s.id, REPLACE(p.supplier_ids, ';', ','))"


def Q(shape, question, sql, kind, domain=""):
    return (DB, shape, question, sql, kind, domain)


def _top(select: str, source: str, measure: str, n: int, group: str) -> str:
    """The first `n` groups by `measure`, ties with the n-th included."""
    return (f"SELECT {select}, {measure} m FROM {source} GROUP BY {group} HAVING m >= "
            f"(SELECT {measure} FROM {source} GROUP BY {group} ORDER BY 1 DESC LIMIT 1 OFFSET {n - 1}) ORDER BY m DESC")


PUBLIC = [
 Q("count", "How many products are there in the products table?", "SELECT COUNT(*) FROM products", "number"),
 Q("report", "Fetch each product name and its quantity per unit.",
   "SELECT product_name, quantity_per_unit FROM products", "rows", PRODUCTS),
 Q("report", "Fetch the product ID and name of the currently available products.",
   "SELECT product_name, id FROM products WHERE discontinued = 0", "rows", PRODUCTS),
 Q("top by price", "What are the names and list prices of the 10 most expensive products?",
   "SELECT product_name, list_price FROM products WHERE list_price >= "
   "(SELECT list_price FROM products ORDER BY list_price DESC LIMIT 1 OFFSET 9) ORDER BY list_price DESC",
   "rows", PRODUCTS),
 Q("price", "Fetch the product ID, name and list price of the products costing less than $20, with the most "
   "expensive products first.",
   "SELECT product_name, id, list_price FROM products WHERE list_price < 20 ORDER BY list_price DESC", "rows", PRODUCTS),
 Q("group", "Count the current and the discontinued products.",
   "SELECT 'current', SUM(discontinued = 0) FROM products UNION ALL "
   "SELECT 'discontinued', SUM(discontinued <> 0) FROM products", "groups"),
 Q("decline", "Create a report showing employees' first and last names and hire dates, sorted from newest to oldest "
   "employee.", "", "decline"),
 Q("price", "Fetch the name and list price of the most and the least expensive products.",
   "SELECT product_name, list_price FROM products WHERE list_price IN "
   "((SELECT MAX(list_price) FROM products), (SELECT MIN(list_price) FROM products))", "rows", PRODUCTS),
 Q("price", "Fetch the product name and list price of the products priced above the average list price, with the "
   "most expensive products first.",
   "SELECT product_name, list_price FROM products WHERE list_price > (SELECT AVG(list_price) FROM products) "
   "ORDER BY list_price DESC", "rows", PRODUCTS),
 Q("report", "Fetch the product name, reorder level and target level of the products whose reorder level is less "
   "than or equal to 20% of their target level.",
   "SELECT product_name, reorder_level, target_level FROM products WHERE reorder_level <= 0.2 * target_level",
   "rows", PRODUCTS),
 Q("group", "Fetch the number of products per category priced less than $20.00.",
   "SELECT category, COUNT(*) FROM products WHERE list_price < 20 GROUP BY category", "groups"),
 Q("top by count", "Which employee has processed the most orders?",
   f"SELECT {EMP_NAME} FROM employees e JOIN orders o ON o.employee_id = e.id GROUP BY e.id HAVING COUNT(*) = "
   "(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM orders GROUP BY employee_id) t)", "entity", EMPLOYEES),
 Q("two dates", "What orders haven't shipped yet?", "SELECT id FROM orders WHERE shipped_date IS NULL", "list", ORDERS),
 Q("group", "Find the number of orders sent by each shipper.",
   "SELECT s.company, COUNT(*) FROM shippers s JOIN orders o ON o.shipper_id = s.id GROUP BY s.id, s.company", "groups"),
 Q("same column", "Which city do most orders go to?",
   "SELECT ship_city FROM orders GROUP BY ship_city HAVING COUNT(*) = "
   "(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM orders GROUP BY ship_city) t)",
   "entity", "SELECT DISTINCT ship_city FROM orders"),
 Q("decline", "Create a report that shows the first and last names and birth dates of all employees born in the 1950s.",
   "", "decline"),
 Q("same column", "Create a report showing the first and last names and cities of employees from cities other than "
   "Seattle in the state of Washington.",
   "SELECT CONCAT(first_name, ' ', last_name), city FROM employees WHERE city <> 'Seattle' AND state_province = 'WA'",
   "rows", EMPLOYEES),
 Q("report", "Create a report that shows the company name, contact name and fax number of all customers that have a "
   "fax number.",
   "SELECT company, CONCAT(first_name, ' ', last_name), fax_number FROM customers "
   "WHERE fax_number IS NOT NULL AND fax_number <> ''", "rows", COMPANIES),
 Q("same column", "Get the phone numbers of all shippers, customers, and suppliers.",
   "SELECT company, business_phone FROM shippers UNION ALL SELECT company, business_phone FROM customers "
   "UNION ALL SELECT company, business_phone FROM suppliers", "rows"),
 Q("average per group", "Show each product category and the average product list price in that category, rounded "
   "to 2 decimal places.", "SELECT category, ROUND(AVG(list_price), 2) FROM products GROUP BY category", "groups"),
 Q("report", "Fetch the products along with their supplier company and address info.",
   f"SELECT p.product_name, s.company, s.address FROM products p JOIN suppliers s ON {SUPPLIED}", "rows", PRODUCTS),
 Q("report", "Make a list of categories and the suppliers who supply products within those categories.",
   f"SELECT DISTINCT p.category, s.company FROM products p JOIN suppliers s ON {SUPPLIED}", "rows"),
 Q("people", "Fetch the customer ID and full name of all customers along with the order ID and order date of any "
   "orders they may have.",
   "SELECT CONCAT(c.first_name, ' ', c.last_name), c.id, o.id, o.order_date FROM customers c "
   "LEFT JOIN orders o ON o.customer_id = c.id", "rows"),
 Q("no match", "List all the customer names who do not have any single order.",
   f"SELECT {CUSTOMER} FROM customers c WHERE NOT EXISTS (SELECT 1 FROM orders o WHERE o.customer_id = c.id)",
   "list", CUSTOMER_NAMES),
 Q("decline", "Create a report that shows the first and last name of all employees who do not report to anybody.",
   "", "decline"),
 Q("per month", "How many orders were placed per month, and which months had the most orders?",
   "SELECT DATE_FORMAT(order_date, '%Y-%m'), COUNT(*) FROM orders GROUP BY DATE_FORMAT(order_date, '%Y-%m')", "groups"),
 Q("top by count", "Which are the top 5 customer companies with the most orders?",
   _top("c.company", "customers c JOIN orders o ON o.customer_id = c.id", "COUNT(*)", 5, "c.id"), "rows", COMPANIES),
 Q("top by count", "Which customer has placed the maximum number of orders?",
   f"SELECT {CUSTOMER} FROM customers c JOIN orders o ON o.customer_id = c.id GROUP BY c.id HAVING COUNT(*) = "
   "(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM orders GROUP BY customer_id) t)", "entity", CUSTOMER_NAMES),
 Q("extreme per group", "Return the most recent order(s) for each customer.",
   "SELECT c.company, o.id, o.order_date FROM customers c JOIN orders o ON o.customer_id = c.id "
   "WHERE o.order_date = (SELECT MAX(order_date) FROM orders x WHERE x.customer_id = c.id)", "rows", COMPANIES),
 Q("report", "Create a report showing the orders sorted by shipping fee from most expensive to cheapest, with the "
   "order ID, order date, shipped date, customer ID and shipping fee.",
   "SELECT id, order_date, shipped_date, customer_id, shipping_fee FROM orders ORDER BY shipping_fee DESC", "rows"),
 Q("same column", "Select all the orders where the employee's city and the order's ship city are the same.",
   "SELECT o.id FROM orders o JOIN employees e ON e.id = o.employee_id WHERE e.city = o.ship_city", "list", ORDERS),
 Q("people", "Get the list of employees who processed orders for Northwind Traders Chai.",
   f"SELECT DISTINCT {EMP_NAME} FROM employees e JOIN orders o ON o.employee_id = e.id "
   "JOIN order_details d ON d.order_id = o.id JOIN products p ON p.id = d.product_id "
   "WHERE p.product_name = 'Northwind Traders Chai'", "list", EMPLOYEES),
 # An order's total is the sum of its lines (the shipping fee is apart).
 Q("top by money", "What is the total cost of each order, and which are the top 5 most expensive orders?",
   _top("d.order_id", "order_details d", f"SUM({LINE})", 5, "d.order_id"), "rows", ORDERS),
 Q("top by money", "What is the total money spent by each company, and which 5 companies spent the most?",
   _top("c.company", "customers c JOIN orders o ON o.customer_id = c.id JOIN order_details d ON d.order_id = o.id",
        f"SUM({LINE})", 5, "c.id"), "rows", COMPANIES),
 Q("decline", "Show each employee's first and last name, the number of orders taken, and whether each order shipped "
   "\"On Time\" or \"Late\".", "", "decline"),
 Q("sold", "What are the top 5 selling products by quantity?",
   _top("p.product_name", "products p JOIN order_details d ON d.product_id = p.id", "SUM(d.quantity)", 5, "p.id"),
   "rows", PRODUCTS),
 Q("sold", "What are the top 5 products that bring the most revenue?",
   _top("p.product_name", "products p JOIN order_details d ON d.product_id = p.id", f"SUM({LINE})", 5, "p.id"),
   "rows", PRODUCTS),
 Q("sold", "Make a list of products and total up the number of actual items ordered, with the most frequently "
   "ordered item at the top of the list and so on to the least frequently ordered item.",
   "SELECT p.product_name, SUM(d.quantity) q FROM products p JOIN order_details d ON d.product_id = p.id "
   "GROUP BY p.id ORDER BY q DESC", "groups"),
 # Sells the most: the most sales, in money, as sales are everywhere on the
 # bench (by units the least is another category, Oil).
 Q("sold", "Which product category sells the most, and which sells the least?",
   f"SELECT category FROM (SELECT p.category, SUM({LINE}) s FROM products p JOIN order_details d "
   f"ON d.product_id = p.id GROUP BY p.category) t WHERE s IN ((SELECT MAX(s) FROM (SELECT SUM({LINE}) s "
   "FROM products p JOIN order_details d ON d.product_id = p.id GROUP BY p.category) u), (SELECT MIN(s) FROM "
   f"(SELECT SUM({LINE}) s FROM products p JOIN order_details d ON d.product_id = p.id GROUP BY p.category) v))",
   "list", CATEGORIES),
]

OWN = [
 Q("count", "How many customers do we have?", "SELECT COUNT(*) FROM customers", "number"),
 Q("count", "How many purchase orders are there?", "SELECT COUNT(*) FROM purchase_orders", "number"),
 Q("two dates", "How many orders were shipped in April 2006?",
   "SELECT COUNT(*) FROM orders WHERE shipped_date >= '2006-04-01' AND shipped_date < '2006-05-01'", "number"),
 Q("two dates", "How many orders were placed in April 2006?",
   "SELECT COUNT(*) FROM orders WHERE order_date >= '2006-04-01' AND order_date < '2006-05-01'", "number"),
 Q("money", "What were total sales in March 2006?",
   f"SELECT SUM({LINE}) FROM order_details d JOIN orders o ON o.id = d.order_id "
   "WHERE o.order_date >= '2006-03-01' AND o.order_date < '2006-04-01'", "number"),
 Q("per month", "What was the revenue per month?",
   f"SELECT DATE_FORMAT(o.order_date, '%Y-%m'), SUM({LINE}) FROM order_details d JOIN orders o ON o.id = d.order_id "
   "GROUP BY DATE_FORMAT(o.order_date, '%Y-%m')", "groups"),
 Q("sold", "How many units of Northwind Traders Coffee were sold?",
   "SELECT SUM(d.quantity) FROM order_details d JOIN products p ON p.id = d.product_id "
   "WHERE p.product_name = 'Northwind Traders Coffee'", "number"),
 Q("sold", "Which product is the best-selling?",
   "SELECT p.product_name FROM products p JOIN order_details d ON d.product_id = p.id GROUP BY p.id "
   "HAVING SUM(d.quantity) = (SELECT MAX(q) FROM (SELECT SUM(quantity) q FROM order_details GROUP BY product_id) t)",
   "entity", PRODUCTS),
 Q("price", "What is the average shipping fee of an order?", "SELECT AVG(shipping_fee) FROM orders", "number"),
 Q("price", "What price do we sell Northwind Traders Chai at?",
   "SELECT list_price FROM products WHERE product_name = 'Northwind Traders Chai'", "number"),
 Q("role", "Who is the sales manager?", "SELECT CONCAT(first_name, ' ', last_name) FROM employees "
   "WHERE job_title = 'Sales Manager'", "entity", EMPLOYEES),
 Q("role", "What is Andrew Cencini's job title?",
   "SELECT job_title FROM employees WHERE first_name = 'Andrew' AND last_name = 'Cencini'",
   "entity", "SELECT DISTINCT job_title FROM employees"),
 Q("people", "How many orders did Nancy take?",
   "SELECT COUNT(*) FROM orders o JOIN employees e ON e.id = o.employee_id WHERE e.first_name = 'Nancy'", "number"),
 Q("people", "How many orders did Anna Bedecs place?",
   "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id "
   "WHERE c.first_name = 'Anna' AND c.last_name = 'Bedecs'", "number"),
 Q("share", "What share of orders were paid by credit card?",
   "SELECT 100 * SUM(payment_type = 'Credit Card') / COUNT(*) FROM orders", "number"),
 Q("nth", "Which product has the second highest list price?",
   "SELECT product_name FROM products WHERE list_price = (SELECT DISTINCT list_price FROM products "
   "ORDER BY list_price DESC LIMIT 1 OFFSET 1)", "entity", PRODUCTS),
 Q("average per group", "What is the average shipping fee per shipper?",
   "SELECT s.company, AVG(o.shipping_fee) FROM shippers s JOIN orders o ON o.shipper_id = s.id GROUP BY s.id, s.company",
   "groups"),
 Q("top by count", "Which three employees took the most orders?",
   _top(EMP_NAME, "employees e JOIN orders o ON o.employee_id = e.id", "COUNT(*)", 3, "e.id"), "rows", EMPLOYEES),
 Q("same column", "How many employees work in Seattle?", "SELECT COUNT(*) FROM employees WHERE city = 'Seattle'",
   "number"),
 Q("same column", "How many customers are based in Seattle?",
   "SELECT COUNT(*) FROM customers WHERE city = 'Seattle'", "number"),
 Q("money", "How much did we spend on purchase orders from each supplier?",
   "SELECT s.company, SUM(d.quantity * d.unit_cost) FROM suppliers s JOIN purchase_orders po ON po.supplier_id = s.id "
   "JOIN purchase_order_details d ON d.purchase_order_id = po.id GROUP BY s.id, s.company", "groups"),
 Q("decline", "What is Nancy Freehafer's birth date?", "", "decline"),
 Q("decline", "Who is Nancy Freehafer's manager?", "", "decline"),
 Q("decline", "How many orders were returned?", "", "decline"),
 Q("decline", "What is the average customer rating of our products?", "", "decline"),
]

ROWS = PUBLIC + OWN
